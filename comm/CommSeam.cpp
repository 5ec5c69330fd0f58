#include "CommSeam.h"

#include <atomic>

namespace {

const TCommApi kSystemApi = {
    ::CreateFileA,    ::CloseHandle,     ::SetupComm,          ::PurgeComm,
    ::GetCommState,   ::SetCommState,    ::SetCommTimeouts,    ::SetCommMask,
    ::WaitCommEvent,  ::ClearCommError,  ::EscapeCommFunction, ::ReadFile,
    ::WriteFile,      ::GetOverlappedResult, ::CancelIoEx,     ::CreateThread,
    ::PostThreadMessageA, ::GlobalAlloc, ::GlobalFree, ::Sleep,
    ::WaitForSingleObject, ::MsgWaitForMultipleObjectsEx,
};

std::atomic<const TCommApi*> gApi{&kSystemApi};

}  // namespace

const TCommApi& CommApi() { return *gApi.load(std::memory_order_acquire); }

const TCommApi& SystemCommApi() { return kSystemApi; }

void SetCommApi(const TCommApi* api) { gApi.store(api != nullptr ? api : &kSystemApi, std::memory_order_release); }

// The settings file ZEFA_ID.ini beside the running program: remembers the
// port choice of the main window from one run to the next.
#pragma once

#include "board_port.h"

namespace zefa {

// First puts back what a save cut short left behind (the old file under
// its backup name) and removes its leftovers. Then selects the saved port
// index in commPort (0 when none is saved; not range checked), and writes
// the file back as read to find out whether it can be written: if not,
// shows the drive warning and goes on. A file with bytes after a NUL is
// only opened for writing to find that out; a file larger than a settings
// file can be is read up to a limit, never written, and warned about. A
// file that exists but cannot be read raises Exception.
void LoadSettings(IdList& commPort, MessageBoxSink& box);

// Writes the file back as read first; if that fails, shows the drive
// warning and writes nothing. Otherwise stores commPort's index (-1 for no
// selection) as CommPort in section ZEFA_ID, keeping every other entry; in
// a file with bytes after a NUL only that line changes. The file keeps its
// encoding (a UTF-8 or UTF-16 byte-order mark), a link keeps pointing at
// its target, which gets the content. Each write goes through a temporary
// file beside the file and replaces it, or, where no file can be made
// there, writes the file in place. A failure to read the file or of that
// final write raises Exception.
void SaveSettings(const IdList& commPort, MessageBoxSink& box);

// For tests: called with the name of each step of a save as it is done.
using SaveStepHook = void (*)(const char* step);
void SetSaveStepHook(SaveStepHook hook);

}  // namespace zefa

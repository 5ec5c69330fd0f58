// The settings file ZEFA_ID.ini beside the running program: remembers the
// port choice of the main window from one run to the next.
#pragma once

#include "board_port.h"

namespace zefa {

// Selects the saved port index in commPort (0 when none is saved; not range
// checked), then writes the file back as read to find out whether it can
// be written: if not, shows the drive warning and goes on. A file that
// exists but cannot be read raises Exception.
void LoadSettings(IdList& commPort, MessageBoxSink& box);

// Writes the file back as read first; if that fails, shows the drive
// warning and writes nothing. Otherwise stores commPort's index (-1 for no
// selection) as CommPort in section ZEFA_ID, keeping every other entry. A
// failure to read the file or of that final write raises Exception.
void SaveSettings(const IdList& commPort, MessageBoxSink& box);

// For tests: called with the name of each step of a save as it is done.
using SaveStepHook = void (*)(const char* step);
void SetSaveStepHook(SaveStepHook hook);

}  // namespace zefa

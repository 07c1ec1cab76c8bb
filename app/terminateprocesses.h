#pragma once

// Ends every running process whose executable name contains nameText (case-sensitive).
// True when none matched or every match was ended; false when any could not be ended.
bool terminateProcesses(const char *nameText);

#pragma once

// Ends every running process whose executable name contains nameText (case-sensitive).
// True when none matched; otherwise whether the last match was ended.
bool terminateProcesses(const char *nameText);

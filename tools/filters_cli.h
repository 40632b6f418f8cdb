// quillmoth-filters: the filter set edited from the command line, for
// receivers that run without the Windows dialogs. It reads and writes
// filters.qmf in the current directory under the same rules as the dialogs,
// so either can edit what the other wrote.
#pragma once

#include <string>
#include <vector>

// Exit statuses of the tool.
constexpr int kFiltersOk = 0;
constexpr int kFiltersFileError = 1;  // filters.qmf could not be read or written
constexpr int kFiltersBadUsage = 2;   // bad command, option or value; nothing was changed

// Runs one command; `args` are the arguments after the program's name:
//   list
//   add (--category NAME | --extension EXT) --min SIZE --max SIZE
//   delete N
//   --help
// What the user should see goes to `out`, errors to `err`, as wide text with
// "\n" line ends. Returns the exit status.
int runFiltersCommand(const std::vector<std::wstring>& args, std::wstring& out, std::wstring& err);

// Ending the process: the failure reports and the one way out.
//
// Thread safety: any thread may call these at any time, several at once. The
// first caller ends the process; every later caller blocks for ever and is
// ended with it, so a run gives exactly one report and one exit status.
#pragma once

// Ends the process with `status` through exit(), which flushes standard output
// once no other thread is in the middle of writing it.
[[noreturn]] void end_process(int status);

// Writes "label: description of errnum\n" to standard error in one write and
// ends the process with status 1.
[[noreturn]] void fail_with_error(const char* label, int errnum);

// Writes `message` as it stands to standard error and ends with status 1.
[[noreturn]] void fail_with_message(const char* message);

// The perror-form line for `label` and `errnum`, without ending anything.
// Returns the length written into `line` (always NUL-terminated).
int format_failure_line(char* line, int line_capacity, const char* label, const char* description);

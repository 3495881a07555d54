// Runs the standard library's functions the way scripts call them: a few
// lines of a small call notation become an assembled program that lumorun
// runs as a child process, with liblumostd.so found beside it as in any
// run without configured libraries.
//
// Notation, one statement per line:
//   EXPR              prints the value and a newline
//   $name = EXPR      stores into global `name`
// where EXPR is "text" (assembler escapes), 12, -1.5, $name, or
// f(EXPR, &$name, ...) with & passing a global by reference. Blank lines
// and lines starting with # are skipped.
#ifndef LUMO_TESTS_STDLIB_SCRIPT_RUNNER_H_
#define LUMO_TESTS_STDLIB_SCRIPT_RUNNER_H_

#include <string>
#include <string_view>

namespace lumostd_test {

struct Outcome {
  std::string output;  // what the program wrote, stderr after it
  int status = -1;     // lumorun's exit status: 0 for a run that ended well
};

// The assembly for `script`; a mistake in the notation gives a text that
// starts with "NOTATION: ".
std::string Translate(std::string_view script);

// Assembles and runs `script`; the data directory is `data` when given,
// else an empty scratch directory. The run's time-out is `timeout` seconds.
Outcome RunScript(std::string_view script, const std::string& data = "", int timeout = 30);

// The output of a script that must run without error ("FAILED: ..." with
// the output otherwise, so a test shows what went wrong).
std::string Printed(std::string_view script);

// The first line of the output of a script that must end with a runtime
// error ("NO ERROR: ..." otherwise).
std::string ErrorOf(std::string_view script);

// A scratch directory removed at exit.
std::string ScratchDirectory();

}  // namespace lumostd_test

#endif  // LUMO_TESTS_STDLIB_SCRIPT_RUNNER_H_

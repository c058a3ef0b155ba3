// Runs the built pelmora-query program and collects what a script sees of it. Linux only.
#pragma once

#include <string>
#include <vector>

namespace clienttest {

struct ProgramRun {
    int code = -1;  // exit code; -1 when it did not start or ended by a signal
    std::string out;
    std::string err;
};

// Runs PELMORA_BIN_DIR/pelmora-query with `args`; its output goes through files in the current
// folder (the test's own).
ProgramRun RunQueryProgram(const std::vector<std::string> &args);

std::vector<std::string> Lines(const std::string &text);

}  // namespace clienttest

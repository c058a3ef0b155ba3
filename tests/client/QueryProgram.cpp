#include "tests/client/QueryProgram.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>

#include <fstream>
#include <sstream>

extern char **environ;

namespace clienttest {
namespace {

std::string Slurp(const char *path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

}  // namespace

ProgramRun RunQueryProgram(const std::vector<std::string> &args)
{
    const std::string program = PELMORA_BIN_DIR "/pelmora-query";
    std::vector<char *> argv = {const_cast<char *>(program.c_str())};
    for (const std::string &a : args)
        argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "query-out.txt", O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    posix_spawn_file_actions_addopen(&actions, 2, "query-err.txt", O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    pid_t pid = -1;
    ProgramRun run;
    if (posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ) == 0) {
        int status = 0;
        if (waitpid(pid, &status, 0) == pid && WIFEXITED(status))
            run.code = WEXITSTATUS(status);
        run.out = Slurp("query-out.txt");
        run.err = Slurp("query-err.txt");
    }
    posix_spawn_file_actions_destroy(&actions);
    return run;
}

std::vector<std::string> Lines(const std::string &text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

}  // namespace clienttest

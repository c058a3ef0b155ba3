// pelmora-query: reads a station's readings from a running Pelmora data server.
#include "client/QueryCommand.h"

#include <iostream>

int main(int argc, char **argv)
{
#ifdef _WIN32
    SetConsoleOutputCP(CP_UTF8);  // the table's degree signs and units are UTF-8
#endif
    std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + argc);
    return pelmora::RunQueryCommand(args, std::cout, std::cerr);
}

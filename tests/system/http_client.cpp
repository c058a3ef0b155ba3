#include "tests/system/http_client.h"

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>

#include "tests/system/loopback.h"

HttpAnswer HttpRequest(unsigned short port, const std::string &method, const std::string &path,
                       const std::string &extraHeaders, int timeoutMs)
{
    HttpAnswer answer;
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0)
        return answer;
    const sockaddr_in address = LoopbackAddress(port);
    const std::string request = method + " " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\n" +
                                extraHeaders + "Connection: close\r\n\r\n";
    std::string bytes;
    if (connect(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0 ||
        !SendAll(fd, request.data(), request.size()) || !ReceiveUntilEnd(fd, bytes, timeoutMs)) {
        close(fd);
        return answer;
    }
    close(fd);
    const size_t end = bytes.find("\r\n\r\n");
    if (bytes.compare(0, 9, "HTTP/1.1 ") != 0 || end == std::string::npos)
        return answer;
    answer.status = std::atoi(bytes.c_str() + 9);
    size_t line = bytes.find("\r\n") + 2;
    while (line < end) {
        const size_t next = bytes.find("\r\n", line);
        const size_t colon = bytes.find(':', line);
        if (colon < next) {
            std::string name = bytes.substr(line, colon - line);
            std::transform(name.begin(), name.end(), name.begin(),
                           [](unsigned char c) { return char(std::tolower(c)); });
            size_t value = colon + 1;
            while (value < next && bytes[value] == ' ')
                ++value;
            answer.headers[name] = bytes.substr(value, next - value);
        }
        line = next + 2;
    }
    answer.body = bytes.substr(end + 4);
    return answer;
}

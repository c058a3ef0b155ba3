// A plain HTTP/1.1 client on 127.0.0.1 for the web face's system tests: one request per
// connection, the answer read to the connection's end.
#pragma once

#include <map>
#include <string>

struct HttpAnswer {
    int status = 0;                              // 0: no answer
    std::map<std::string, std::string> headers;  // names in lower case
    std::string body;
};

// Sends `method path` with the extra header lines (each ending in CR LF) and "Connection:
// close"; gives up after timeoutMs.
HttpAnswer HttpRequest(unsigned short port, const std::string &method, const std::string &path,
                       const std::string &extraHeaders = "", int timeoutMs = 20000);

#pragma once
#include <functional>
#include <string>

// A small HTTP server that answers GET requests of one path with a text,
// made by the metrics module (cpp-httplib). The module is loaded only when
// the metrics are on: the HTTP library brings a TLS library along that
// would otherwise cost every run several megabytes.
class HttpEndpoint {
public:
    virtual ~HttpEndpoint() = default;
    // Binds host:port. False with a one-line reason.
    virtual bool bind(const std::string& host, int port, std::string& error) = 0;
    // Answers requests on the calling thread until stop().
    virtual void serve() = 0;
    // From any thread; serve() returns soon after.
    virtual void stop() = 0;
};

// What the module exports: an endpoint for GET `path` whose answer is
// `body()` with the content type `contentType`; the caller deletes it.
using MakeHttpEndpointFunction = HttpEndpoint* (*)(const std::string& path, const std::string& contentType,
                                                   std::function<std::string()> body);
inline constexpr const char* kMakeHttpEndpointSymbol = "procward_make_http_endpoint";
inline constexpr const char* kMetricsModuleStem = "procward-metrics";

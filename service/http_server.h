#pragma once
// The HTTP servers of the platform service: the settings they run with, whatever cpp-httplib's
// defaults are, and their JSON answers.

#include <httplib.h>

#include <cstddef>
#include <functional>

#include <nlohmann/json.hpp>

namespace dialo::service {

/// Gives `server` a pool of `threads` workers, keeps connections alive, limits bodies to
/// `maxBody` bytes and times out reads and writes after 30 s. The socket it makes for
/// listening is written to *listenSocket when it binds, on the binding thread.
void tuneServer(httplib::Server& server, size_t threads, size_t maxBody, socket_t* listenSocket);

using Handler = std::function<void(const httplib::Request&, httplib::Response&)>;

/// Answers with `body` as JSON.
void sendJson(httplib::Response& res, const nlohmann::json& body, int status = 200);

/// The handler, with any exception it throws answered as a JSON 500 instead of leaving it.
Handler catching(Handler handler);

}  // namespace dialo::service

#include "service/http_server.h"

#include <sys/socket.h>

#include "service/tx_json.h"

namespace dialo::service {

void tuneServer(httplib::Server& server, size_t threads, size_t maxBody, socket_t* listenSocket) {
    // cpp-httplib gives each kept-alive or waiting connection a thread for its life.
    server.new_task_queue = [threads] { return new httplib::ThreadPool(threads); };
    // Phones keep their polling connection open; the library's default closes it after 5.
    server.set_keep_alive_max_count(1000000);
    // The library's default adds SO_REUSEPORT, which would let a second instance share the
    // port and take half the requests; a port held by another process must refuse instead.
    server.set_socket_options([listenSocket](socket_t sock) {
        int yes = 1;
        setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
        *listenSocket = sock;
    });
    server.set_payload_max_length(maxBody);
    server.set_read_timeout(30);
    server.set_write_timeout(30);
    // Headers and body go out as two writes; with Nagle the body waits for the client's
    // delayed ACK, adding about 40 ms to every answer on a kept-alive connection.
    server.set_tcp_nodelay(true);
}

void sendJson(httplib::Response& res, const nlohmann::json& body, int status) {
    res.status = status;
    res.set_content(dumpJson(body), "application/json");
}

Handler catching(Handler handler) {
    return [handler = std::move(handler)](const httplib::Request& req, httplib::Response& res) {
        try {
            handler(req, res);
        } catch (const std::exception& e) {
            sendJson(res, {{"error", std::string("internal error: ") + e.what()}}, 500);
        } catch (...) {
            sendJson(res, {{"error", "internal error"}}, 500);
        }
    };
}

}  // namespace dialo::service

// A TCP server on 127.0.0.1 for tests: it listens on a port of the system's choice, takes one
// connection, and passes bytes as they are. One file per system holds the socket calls.
#pragma once

#include <cstdint>
#include <string>

class LocalListener {
public:
    LocalListener();
    ~LocalListener();
    LocalListener(LocalListener&&) = delete;  // and with it every copy

    uint16_t port() const { return port_; }
    // Takes the connection, waiting up to 10 s for it: whether one came.
    bool accepted();
    void send(const std::string& bytes);
    // Reads until `count` bytes arrived or 10 s passed without any byte arriving.
    std::string receive(size_t count);
    // Closes the connection, as a server that goes away does.
    void closeConnection();

private:
    intptr_t listener_ = -1, connection_ = -1;
    uint16_t port_ = 0;
};

#include "tools/quelvixcam/bridge_connections.h"

#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "tools/quelvixcam/property_bridge.h"

namespace bridge {
namespace {

long long NowMs() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

}  // namespace

Connections::~Connections() {
    for (Client& client : clients_) close(client.fd);
}

void Connections::Serve(int listener, int wake) {
    for (;;) {
        std::vector<pollfd> fds;
        fds.push_back({wake, POLLIN, 0});
        fds.push_back({listener, static_cast<short>(clients_.size() < kMaxConnections ? POLLIN : 0), 0});
        for (const Client& client : clients_)
            fds.push_back({client.fd, static_cast<short>(client.out.empty() ? POLLIN : POLLOUT), 0});
        const int ready = poll(fds.data(), fds.size(), MillisecondsToNextDeadline(NowMs()));
        if (ready < 0 && errno == EINTR) continue;
        if (ready < 0 || fds[0].revents) return;

        const long long now = NowMs();
        for (size_t i = 0; i < clients_.size(); ++i) {
            Client& client = clients_[i];
            const short events = fds[i + 2].revents;
            if (events & POLLOUT) Send(client);
            else if (events & (POLLIN | POLLHUP | POLLERR)) Receive(client, now);
            if (!client.done && client.startedMs >= 0 && now - client.startedMs >= kRestOfMessageMs)
                Drop(client, "a message stopped coming halfway");
        }
        clients_.erase(std::remove_if(clients_.begin(), clients_.end(),
                                      [](const Client& client) {
                                          if (client.done) close(client.fd);
                                          return client.done;
                                      }),
                       clients_.end());
        if (fds[1].revents) Accept(listener);
    }
}

void Connections::Accept(int listener) {
    const int fd = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd < 0) return;  // the client gave up before it was taken
    Client client;
    client.fd = fd;
    clients_.push_back(std::move(client));
}

void Connections::Receive(Client& client, long long nowMs) {
    uint8_t buffer[4096];
    const size_t want = std::min(sizeof buffer, client.needed - client.in.size());
    const ssize_t n = recv(client.fd, buffer, want, 0);
    if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) return;
    if (n == 0 && client.in.empty()) {
        client.done = true;  // closed between messages: the client is finished
        return;
    }
    if (n <= 0) {
        Drop(client, n == 0 ? "the connection closed in the middle of a message"
                            : std::string("cannot read: ") + std::strerror(errno));
        return;
    }
    if (client.in.empty()) client.startedMs = nowMs;
    client.in.insert(client.in.end(), buffer, buffer + n);
    if (client.in.size() == client.needed) TakeMessage(client);
}

// The header tells how much follows; once that is in too, the message is
// answered.
void Connections::TakeMessage(Client& client) {
    if (client.needed == kRequestHeaderBytes) {
        uint32_t dataBytes = 0;
        std::string error;
        if (!ParseRequestHeader(client.in.data(), &client.request, &client.requestBytes, &dataBytes, &error)) {
            Drop(client, error);
            return;
        }
        client.needed = kRequestHeaderBytes + client.requestBytes + dataBytes;
        if (client.in.size() < client.needed) return;
    }
    const uint8_t* parts = client.in.data() + kRequestHeaderBytes;
    client.request.request.assign(parts, parts + client.requestBytes);
    client.request.data.assign(parts + client.requestBytes, parts + (client.in.size() - kRequestHeaderBytes));
    const BridgeAnswer answer = AnswerPropertyRequest(filter_, client.request);
    client.out = EncodeResponse(answer.status, answer.data.data(), static_cast<uint32_t>(answer.data.size()));
    client.sent = 0;
    client.in.clear();
    client.needed = kRequestHeaderBytes;
    client.startedMs = -1;
    Send(client);
}

void Connections::Send(Client& client) {
    while (client.sent < client.out.size()) {
        const ssize_t n = send(client.fd, client.out.data() + client.sent, client.out.size() - client.sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;  // the rest when it can take it
        if (n <= 0) {
            Drop(client, std::string("cannot answer: ") + std::strerror(errno));
            return;
        }
        client.sent += static_cast<size_t>(n);
    }
    client.out.clear();
}

void Connections::Drop(Client& client, const std::string& why) {
    std::fprintf(stderr, "%s: closed a connection: %s\n", tool_, why.c_str());
    client.done = true;
}

int Connections::MillisecondsToNextDeadline(long long nowMs) const {
    long long next = -1;
    for (const Client& client : clients_) {
        if (client.done || client.startedMs < 0) continue;
        const long long left = std::max(0LL, client.startedMs + kRestOfMessageMs - nowMs);
        if (next < 0 || left < next) next = left;
    }
    return static_cast<int>(next);
}

}  // namespace bridge

// The connections `quelvixcam serve` answers, all at once, in one thread.
//
// The KS proxy makes its requests from many threads, and a client may sit on
// its connection without a word: one connection must not hold up the others.
// Every connection is non-blocking and read as its bytes come; a message is
// answered when it is whole, one at a time, so the filter sees the requests
// one after another as from a single caller. While a connection's answer is
// still being sent, its next message waits (so a client that never reads
// holds only its own connection).
//
// The rules a connection is closed by, each with one line on standard error:
//   - a message that breaks the wire format;
//   - a message whose rest does not follow within kRestOfMessageMs of its
//     first byte (counted from that byte, not per read);
//   - the client closing mid-message.
// Between messages a client may stay silent as long as it likes. At most
// kMaxConnections are open at once; further clients wait in the listen queue
// until one closes.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "host/ks/ks_client.h"
#include "tools/quelvixcam/property_wire.h"

namespace bridge {

constexpr int kRestOfMessageMs = 10000;
constexpr size_t kMaxConnections = 64;

class Connections {
public:
    Connections(hostks::KsFilter& filter, const char* tool) : filter_(filter), tool_(tool) {}
    ~Connections();
    Connections(const Connections&) = delete;
    Connections& operator=(const Connections&) = delete;

    // Serves the clients of `listener` until `wake` becomes readable (a stop
    // was asked for) or polling fails.
    void Serve(int listener, int wake);

private:
    struct Client {
        int fd = -1;
        std::vector<uint8_t> in;  // the message so far
        size_t needed = kRequestHeaderBytes;
        WireRequest request;
        uint32_t requestBytes = 0;
        long long startedMs = -1;  // when the message's first byte came; -1 between messages
        std::vector<uint8_t> out;  // the answer still to send
        size_t sent = 0;
        bool done = false;
    };

    void Accept(int listener);
    void Receive(Client& client, long long nowMs);
    void TakeMessage(Client& client);
    void Send(Client& client);
    void Drop(Client& client, const std::string& why);
    int MillisecondsToNextDeadline(long long nowMs) const;

    hostks::KsFilter& filter_;
    const char* tool_;
    std::vector<Client> clients_;
};

}  // namespace bridge

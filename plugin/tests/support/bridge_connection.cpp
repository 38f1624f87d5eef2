#include <winsock2.h>
#include <ws2tcpip.h>

#include "bridge_connection.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

const BYTE kRequestMagic[4] = {'Q', 'K', 'S', 'P'};
const BYTE kResponseMagic[4] = {'Q', 'K', 'S', 'R'};

void PutU32(std::vector<BYTE>* out, ULONG value) {
    for (int i = 0; i < 4; ++i) out->push_back(static_cast<BYTE>(value >> (8 * i)));
}

ULONG GetU32(const BYTE* in) {
    return static_cast<ULONG>(in[0]) | static_cast<ULONG>(in[1]) << 8 |
           static_cast<ULONG>(in[2]) << 16 | static_cast<ULONG>(in[3]) << 24;
}

// The GUID as it lies in memory on Windows, which is its little-endian
// wire form: Data1, Data2 and Data3 little-endian, then Data4's eight bytes.
void PutGuid(std::vector<BYTE>* out, const GUID& guid) {
    PutU32(out, guid.Data1);
    out->push_back(static_cast<BYTE>(guid.Data2));
    out->push_back(static_cast<BYTE>(guid.Data2 >> 8));
    out->push_back(static_cast<BYTE>(guid.Data3));
    out->push_back(static_cast<BYTE>(guid.Data3 >> 8));
    out->insert(out->end(), guid.Data4, guid.Data4 + 8);
}

bool StartWinsock() {
    static bool started = false;
    if (!started) {
        WSADATA data;
        started = WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }
    return started;
}

}  // namespace

BridgeConnection::~BridgeConnection() { Close(); }

bool BridgeConnection::Connect(unsigned short port, DWORD timeoutMs) {
    Close();
    if (!StartWinsock()) return Fail("WSAStartup failed");
    m_socket = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (m_socket == INVALID_SOCKET) return Fail("socket failed");
    static_assert(INVALID_SOCKET == kNoSocket, "one value for no socket");
    setsockopt(m_socket, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeoutMs),
               sizeof timeoutMs);
    setsockopt(m_socket, SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char*>(&timeoutMs),
               sizeof timeoutMs);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(m_socket, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        return Fail("connect to 127.0.0.1 failed");
    }
    return true;
}

void BridgeConnection::Close() {
    if (m_socket != kNoSocket) {
        closesocket(m_socket);
        m_socket = kNoSocket;
    }
}

bool BridgeConnection::Fail(const char* what) {
    char text[160];
    std::snprintf(text, sizeof text, "%s (WSA error %d)", what, WSAGetLastError());
    error = text;
    Close();
    return false;
}

bool BridgeConnection::SendAll(const BYTE* bytes, size_t length) {
    while (length > 0) {
        const int sent = send(m_socket, reinterpret_cast<const char*>(bytes),
                              static_cast<int>(length), 0);
        if (sent <= 0) return false;
        bytes += sent;
        length -= static_cast<size_t>(sent);
    }
    return true;
}

bool BridgeConnection::ReceiveAll(BYTE* bytes, size_t length) {
    while (length > 0) {
        const int received = recv(m_socket, reinterpret_cast<char*>(bytes),
                                  static_cast<int>(length), 0);
        if (received <= 0) return false;
        bytes += received;
        length -= static_cast<size_t>(received);
    }
    return true;
}

bool BridgeConnection::Exchange(ULONG flags, const GUID& set, ULONG id,
                                const std::vector<BYTE>& request, std::vector<BYTE>* data,
                                LONG* status, ULONG* returned) {
    if (!IsOpen()) return Fail("not connected");
    if (request.size() > kMaxBytes || data->size() > kMaxBytes) {
        return Fail("request or data larger than the bridge carries");
    }
    std::vector<BYTE> message(kRequestMagic, kRequestMagic + 4);
    PutU32(&message, flags);
    PutGuid(&message, set);
    PutU32(&message, id);
    PutU32(&message, static_cast<ULONG>(request.size()));
    PutU32(&message, static_cast<ULONG>(data->size()));
    message.insert(message.end(), request.begin(), request.end());
    message.insert(message.end(), data->begin(), data->end());
    if (!SendAll(message.data(), message.size())) return Fail("send failed");

    BYTE head[12];
    if (!ReceiveAll(head, sizeof head)) return Fail("no answer");
    if (std::memcmp(head, kResponseMagic, 4) != 0) return Fail("answer without QKSR");
    const ULONG bytes = GetU32(head + 8);
    if (bytes > data->size()) return Fail("answer longer than the data buffer");
    if (!ReceiveAll(data->data(), bytes)) return Fail("answer cut short");
    *status = static_cast<LONG>(GetU32(head + 4));
    *returned = bytes;
    return true;
}

unsigned short BridgePort(std::string* error) {
    const char* path = std::getenv("QUELVIX_BRIDGE_PORT_FILE");
    if (!path || !*path) {
        *error = "QUELVIX_BRIDGE_PORT_FILE is not set";
        return 0;
    }
    FILE* file = std::fopen(path, "r");
    if (!file) {
        *error = std::string("cannot open ") + path;
        return 0;
    }
    unsigned port = 0;
    const int fields = std::fscanf(file, "%u", &port);
    std::fclose(file);
    if (fields != 1 || port == 0 || port > 65535) {
        *error = std::string("no port in ") + path;
        return 0;
    }
    return static_cast<unsigned short>(port);
}

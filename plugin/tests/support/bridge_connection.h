// BridgeConnection: the Windows side of the property bridge to
// `quelvixcam serve` on the Linux side (Wine maps winsock onto the host's
// sockets, so 127.0.0.1 reaches it). One connection carries one property
// request at a time:
//
//   request  "QKSP", u32 flags, 16-byte set GUID, u32 id, u32 R, u32 D,
//            R bytes of property request, D bytes of property data
//   response "QKSR", i32 NTSTATUS, u32 B, B bytes of property data (B <= D)
//
// all integers little-endian. The server serves many connections at once
// and answers their requests one at a time.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

class BridgeConnection {
public:
    // The largest request and data the server takes.
    static constexpr ULONG kMaxBytes = 4096;

    BridgeConnection() = default;
    ~BridgeConnection();
    BridgeConnection(const BridgeConnection&) = delete;
    BridgeConnection& operator=(const BridgeConnection&) = delete;

    // Connects to 127.0.0.1:port; every later send and receive gives up
    // after `timeoutMs`, so a wedged server cannot hang a test.
    bool Connect(unsigned short port, DWORD timeoutMs = 15000);
    bool IsOpen() const { return m_socket != kNoSocket; }
    void Close();

    // One exchange. `request` and `data` go out as they are (R and D are their
    // sizes); on success *status is the driver's NTSTATUS and `data`'s first
    // *returned bytes are what the driver left there. False when the
    // connection failed or the answer was malformed; the connection is then
    // closed and `error` says why.
    bool Exchange(ULONG flags, const GUID& set, ULONG id, const std::vector<BYTE>& request,
                  std::vector<BYTE>* data, LONG* status, ULONG* returned);

    std::string error;

private:
    bool SendAll(const BYTE* bytes, size_t length);
    bool ReceiveAll(BYTE* bytes, size_t length);
    bool Fail(const char* what);

    // A winsock SOCKET; winsock2.h stays out of this header, since it must
    // come before windows.h in every file that includes it.
    UINT_PTR m_socket = kNoSocket;
    static constexpr UINT_PTR kNoSocket = ~static_cast<UINT_PTR>(0);  // INVALID_SOCKET
};

// The port `quelvixcam serve` listens on, read from the file named by the
// environment variable QUELVIX_BRIDGE_PORT_FILE (the test fixture writes it);
// 0 when there is none.
unsigned short BridgePort(std::string* error);

// quelvixcam serve as a client sees it: property requests over TCP reach
// the real driver, bad messages cost only their own connection, and the
// settings outlive the server.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

#include "tools/quelvixcam/property_wire.h"
#include "common/camera_property_set.h"
#include "tests/tools/tool_run.h"

namespace {

constexpr NTSTATUS kNotFound = static_cast<NTSTATUS>(0xC0000225);
constexpr NTSTATUS kInvalidBufferSize = static_cast<NTSTATUS>(0xC0000206);
constexpr NTSTATUS kBufferTooSmall = static_cast<NTSTATUS>(0xC0000023);

// A running `quelvixcam serve`, stopped with SIGTERM.
class Server {
public:
    Server(const std::string& dir, const std::string& arguments) : errPath_(dir + "/serve.err") {
        int out[2];
        EXPECT_EQ(pipe(out), 0);
        pid_ = fork();
        if (pid_ == 0) {
            dup2(out[1], 1);
            const int err = open(errPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            dup2(err, 2);
            close(out[0]);
            const std::string line = std::string("exec '") + QUELVIXCAM_PATH + "' serve --registry '" + dir +
                                     "/settings.reg' " + arguments;
            execl("/bin/sh", "sh", "-c", line.c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
        close(out[1]);
        // The first line names the port.
        std::string first;
        char c;
        while (read(out[0], &c, 1) == 1 && c != '\n') first += c;
        close(out[0]);
        const std::string prefix = "listening on 127.0.0.1:";
        if (first.compare(0, prefix.size(), prefix) == 0) port_ = std::stoi(first.substr(prefix.size()));
    }
    ~Server() {
        if (pid_ > 0) Stop();
    }
    int Port() const { return port_; }
    std::string Errors() const { return tooltest::ReadAll(errPath_); }

    // SIGTERM, then its exit status (-1: it had to be killed after 30 s).
    int Stop() {
        kill(pid_, SIGTERM);
        for (int waited = 0; waited < 3000; ++waited) {
            int status = 0;
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
        pid_ = -1;
        return -1;
    }

private:
    std::string errPath_;
    pid_t pid_ = -1;
    int port_ = 0;
};

class Connection {
public:
    explicit Connection(int port) {
        fd_ = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<uint16_t>(port));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        EXPECT_EQ(connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        timeval timeout{20, 0};
        setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    }
    ~Connection() { close(fd_); }

    bool Send(const std::vector<uint8_t>& bytes) {
        return send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
    }
    // Reads a whole response; false when the server closed the connection.
    bool Receive(NTSTATUS* status, std::vector<uint8_t>* data) {
        uint8_t header[bridge::kResponseHeaderBytes];
        if (!ReadWhole(header, sizeof header)) return false;
        EXPECT_EQ(std::memcmp(header, "QKSR", 4), 0);
        uint32_t bytes;
        std::memcpy(status, header + 4, 4);
        std::memcpy(&bytes, header + 8, 4);
        data->resize(bytes);
        return ReadWhole(data->data(), bytes);
    }
    // The server's answer to a request of the camera's set.
    NTSTATUS Ask(ULONG flags, ULONG id, uint32_t requestBytes, uint32_t dataBytes, std::vector<uint8_t>* data,
                 LONG value = 0, const GUID& set = CAMERA_PROPERTY_SET_GUID) {
        bridge::WireRequest request;
        request.flags = flags;
        request.set = set;
        request.id = id;
        request.request.assign(requestBytes, 0);
        request.data.assign(dataBytes, 0);
        if (dataBytes >= 28) std::memcpy(request.data.data() + 24, &value, 4);
        NTSTATUS status = -1;
        EXPECT_TRUE(Send(bridge::EncodeRequest(request)));
        EXPECT_TRUE(Receive(&status, data));
        return status;
    }
    NTSTATUS Get(ULONG id, LONG* value) {
        std::vector<uint8_t> data;
        NTSTATUS status = Ask(KSPROPERTY_TYPE_GET, id, 32, 32, &data);
        *value = data.size() >= 28 ? *reinterpret_cast<const LONG*>(data.data() + 24) : -99999;
        return status;
    }
    NTSTATUS Set(ULONG id, LONG value) {
        std::vector<uint8_t> data;
        NTSTATUS status = Ask(KSPROPERTY_TYPE_SET, id, 32, 32, &data, value);
        EXPECT_TRUE(data.empty());
        return status;
    }
    // True when the server has closed its end (a reset, after bytes sent
    // to a closed connection, is a close too; the receive time-out is not).
    bool ClosedByServer() {
        uint8_t byte;
        const ssize_t n = recv(fd_, &byte, 1, 0);
        return n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK);
    }

    // The same, without waiting: false while the connection is open.
    bool ClosedAlready() {
        uint8_t byte;
        const ssize_t n = recv(fd_, &byte, 1, MSG_DONTWAIT);
        return n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK);
    }

private:
    bool ReadWhole(uint8_t* into, size_t size) {
        for (size_t got = 0; got < size;) {
            const ssize_t n = recv(fd_, into + got, size - got, 0);
            if (n <= 0) return false;
            got += static_cast<size_t>(n);
        }
        return true;
    }
    int fd_ = -1;
};

LONG GetOrFail(Connection& connection, ULONG id) {
    LONG value = 0;
    EXPECT_EQ(connection.Get(id, &value), STATUS_SUCCESS) << CameraPropertyName(id);
    return value;
}

class ServeTest : public tooltest::ScratchDirTest {};

TEST_F(ServeTest, RequestsReachTheDriverWithItsClampsSizeChecksAndAccess) {
    Server server(dir_, "");
    ASSERT_GT(server.Port(), 0) << server.Errors();
    Connection connection(server.Port());

    // Clamped to the sensor's longest exposure; ignored while out of range.
    EXPECT_EQ(connection.Set(PropertyExposure, 5000), STATUS_SUCCESS);
    EXPECT_EQ(GetOrFail(connection, PropertyExposure), 1252);
    const LONG timeout = GetOrFail(connection, PropertyTimeout);
    EXPECT_EQ(connection.Set(PropertyTimeout, 400), STATUS_SUCCESS);
    EXPECT_EQ(GetOrFail(connection, PropertyTimeout), timeout);

    // What an id offers, from the class, and what it refuses.
    std::vector<uint8_t> access;
    EXPECT_EQ(connection.Ask(KSPROPERTY_TYPE_BASICSUPPORT, PropertyExposureMin, 32, 4, &access), STATUS_SUCCESS);
    ASSERT_EQ(access.size(), 4u);
    EXPECT_EQ(*reinterpret_cast<const ULONG*>(access.data()), static_cast<ULONG>(KSPROPERTY_TYPE_GET));
    EXPECT_EQ(connection.Set(PropertyExposureMin, 10), kNotFound);
    LONG ignored;
    EXPECT_EQ(connection.Get(PropertySendCommand20, &ignored), kNotFound);
    EXPECT_EQ(connection.Get(CameraPropertyCount, &ignored), kNotFound);

    // The class's size checks: a request too short for its header, a data
    // buffer below the item's minimum.
    std::vector<uint8_t> data;
    EXPECT_EQ(connection.Ask(KSPROPERTY_TYPE_GET, PropertyExposure, 8, 32, &data), kInvalidBufferSize);
    EXPECT_EQ(connection.Ask(KSPROPERTY_TYPE_GET, PropertyExposure, 32, 16, &data), kBufferTooSmall);
    EXPECT_TRUE(data.empty());

    // Roi moves the size properties.
    bridge::WireRequest roi;
    roi.flags = KSPROPERTY_TYPE_SET;
    roi.set = CAMERA_PROPERTY_SET_GUID;
    roi.id = PropertyRoi;
    roi.request.assign(sizeof(CameraRoiValue), 0);
    CameraRoiValue value{};
    value.SubSample = 0;
    value.X = 64;
    value.Y = 32;
    value.Width = 1024;
    value.Height = 768;
    roi.data.assign(reinterpret_cast<const uint8_t*>(&value), reinterpret_cast<const uint8_t*>(&value + 1));
    NTSTATUS status = -1;
    ASSERT_TRUE(connection.Send(bridge::EncodeRequest(roi)));
    ASSERT_TRUE(connection.Receive(&status, &data));
    EXPECT_EQ(status, STATUS_SUCCESS);
    // The region properties always answer the whole sensor; the new size
    // goes to the format the next pin is offered.
    EXPECT_EQ(GetOrFail(connection, PropertyRoiW), 1600);
    EXPECT_EQ(GetOrFail(connection, PropertyRoiH), 1200);
    // The class's pin properties come through too: KSPROPERTY_PIN_DATARANGES
    // of pin 0 (a KSP_PIN request) holds the size the next pin is offered.
    ASSERT_EQ(connection.Ask(KSPROPERTY_TYPE_GET, KSPROPERTY_PIN_DATARANGES, sizeof(KSP_PIN), 1024, &data, 0,
                             GUID{STATIC_KSPROPSETID_Pin}), STATUS_SUCCESS);
    ASSERT_GE(data.size(), sizeof(KSMULTIPLE_ITEM) + sizeof(KS_DATARANGE_VIDEO));
    const auto* range = reinterpret_cast<const KS_DATARANGE_VIDEO*>(data.data() + sizeof(KSMULTIPLE_ITEM));
    EXPECT_EQ(range->VideoInfoHeader.bmiHeader.biWidth, 1024);
    EXPECT_EQ(range->VideoInfoHeader.bmiHeader.biHeight, 768);
    EXPECT_EQ(GetOrFail(connection, PropertyPinOpen), 0);

    EXPECT_EQ(server.Stop(), 0) << server.Errors();
    EXPECT_EQ(server.Errors(), "");
}

TEST_F(ServeTest, ABrokenMessageClosesOnlyItsConnection) {
    Server server(dir_, "");
    ASSERT_GT(server.Port(), 0) << server.Errors();
    {
        Connection wrongMagic(server.Port());
        ASSERT_TRUE(wrongMagic.Send(std::vector<uint8_t>(bridge::kRequestHeaderBytes, 'x')));
        EXPECT_TRUE(wrongMagic.ClosedByServer());
    }
    {
        bridge::WireRequest request;
        request.set = CAMERA_PROPERTY_SET_GUID;
        std::vector<uint8_t> message = bridge::EncodeRequest(request);
        const uint32_t oversized = bridge::kMaxPartBytes + 1;
        std::memcpy(message.data() + 32, &oversized, 4);  // D
        Connection tooLarge(server.Port());
        ASSERT_TRUE(tooLarge.Send(message));
        EXPECT_TRUE(tooLarge.ClosedByServer());
    }
    {
        // Half a header, then the client goes away.
        Connection halfway(server.Port());
        ASSERT_TRUE(halfway.Send({'Q', 'K', 'S', 'P', 1, 0}));
    }
    // Sequential connections keep working after all of that.
    for (int i = 0; i < 2; ++i) {
        Connection next(server.Port());
        EXPECT_EQ(GetOrFail(next, PropertySensorWidth), 1600);
    }
    EXPECT_EQ(server.Stop(), 0);
    const std::string errors = server.Errors();
    EXPECT_NE(errors.find("closed a connection: a message does not start with QKSP\n"), std::string::npos) << errors;
    EXPECT_NE(errors.find("closed a connection: a message's request (0 bytes) or data (4097 bytes) is over 4096 bytes\n"),
              std::string::npos)
        << errors;
    EXPECT_NE(errors.find("closed a connection: the connection closed in the middle of a message\n"),
              std::string::npos)
        << errors;
}

// The KS proxy calls from many threads: a client that connects and says
// nothing, or stops halfway through a message, holds up no one else.
TEST_F(ServeTest, AnIdleOrHalfSentClientDoesNotHoldUpTheOthers) {
    Server server(dir_, "");
    ASSERT_GT(server.Port(), 0) << server.Errors();
    Connection idle(server.Port());
    Connection half(server.Port());
    bridge::WireRequest request;
    request.flags = KSPROPERTY_TYPE_GET;
    request.set = CAMERA_PROPERTY_SET_GUID;
    request.id = PropertySensorHeight;
    request.request.assign(32, 0);
    request.data.assign(32, 0);
    const std::vector<uint8_t> message = bridge::EncodeRequest(request);
    ASSERT_TRUE(half.Send(std::vector<uint8_t>(message.begin(), message.begin() + 20)));
    for (int i = 0; i < 3; ++i) {
        Connection other(server.Port());
        EXPECT_EQ(GetOrFail(other, PropertySensorWidth), 1600);
    }
    // Both are still served: the half message completes, the idle client asks.
    ASSERT_TRUE(half.Send(std::vector<uint8_t>(message.begin() + 20, message.end())));
    NTSTATUS status = -1;
    std::vector<uint8_t> data;
    ASSERT_TRUE(half.Receive(&status, &data));
    EXPECT_EQ(status, STATUS_SUCCESS);
    ASSERT_EQ(data.size(), 32u);
    EXPECT_EQ(*reinterpret_cast<const LONG*>(data.data() + 24), 1200);
    EXPECT_EQ(GetOrFail(idle, PropertySensorWidth), 1600);
    EXPECT_EQ(server.Stop(), 0);
    EXPECT_EQ(server.Errors(), "");
}

// The rest of a message must follow within 10 s of its first byte, however
// the client spaces its bytes: one a second does not keep it open.
TEST_F(ServeTest, TheRestOfAMessageMustFollowWithinTenSecondsOfItsFirstByte) {
    Server server(dir_, "");
    ASSERT_GT(server.Port(), 0) << server.Errors();
    Connection trickle(server.Port());
    // Sixteen bytes of a 36-byte header, a second apart: the server must
    // close while they still come, not 10 s after the last.
    bool closed = false;
    for (int i = 0; i < 16 && !closed; ++i) {
        trickle.Send({static_cast<uint8_t>(i < 4 ? "QKSP"[i] : 0)});
        std::this_thread::sleep_for(std::chrono::seconds(1));
        closed = trickle.ClosedAlready();
    }
    EXPECT_TRUE(closed) << "still open after 16 s of one byte a second";
    Connection next(server.Port());
    EXPECT_EQ(GetOrFail(next, PropertySensorWidth), 1600);
    EXPECT_EQ(server.Stop(), 0);
    EXPECT_EQ(server.Errors(), "quelvixcam serve: closed a connection: a message stopped coming halfway\n");
}

TEST_F(ServeTest, SettingsSetOverTheWireAreInTheStoreForTheNextServer) {
    {
        Server server(dir_, "--port 0");
        ASSERT_GT(server.Port(), 0) << server.Errors();
        Connection connection(server.Port());
        EXPECT_EQ(connection.Set(PropertyBrightness, 300), STATUS_SUCCESS);
        EXPECT_EQ(connection.Set(PropertyContrast, 17), STATUS_SUCCESS);
        EXPECT_EQ(server.Stop(), 0) << server.Errors();
    }
    const std::string store = tooltest::ReadAll(dir_ + "/settings.reg");
    EXPECT_NE(store.find("\"Brightness\"=dword:0000012c"), std::string::npos) << store;
    Server again(dir_, "");
    ASSERT_GT(again.Port(), 0) << again.Errors();
    Connection connection(again.Port());
    EXPECT_EQ(GetOrFail(connection, PropertyBrightness), 300);
    EXPECT_EQ(GetOrFail(connection, PropertyContrast), 17);
}

TEST_F(ServeTest, WithCaptureThePinIsOpen) {
    Server server(dir_, "--capture --scene bars");
    ASSERT_GT(server.Port(), 0) << server.Errors();
    Connection connection(server.Port());
    EXPECT_EQ(GetOrFail(connection, PropertyPinOpen), 1);
    EXPECT_EQ(server.Stop(), 0) << server.Errors();
    EXPECT_EQ(server.Errors(), "");
}

TEST_F(ServeTest, RefusesABadPortAndAPortInUse) {
    tooltest::ToolRun run = Tool("serve", "--port 65536");
    EXPECT_EQ(run.status, 2);
    EXPECT_EQ(run.err, "quelvixcam serve: --port takes a port from 0 to 65535, not '65536'\n");

    Server first(dir_, "");
    ASSERT_GT(first.Port(), 0);
    // A store of its own (Tool() would name the first server's), so that
    // only the port stands in the way.
    const std::string line = std::string("QUELVIXCAM_REGISTRY_WAIT=0 '") + QUELVIXCAM_PATH + "' serve --registry '" +
                             dir_ + "/other.reg' --port " + std::to_string(first.Port()) + " >'" + dir_ +
                             "/out' 2>'" + dir_ + "/err'";
    run.status = tooltest::Shell(line);
    run.err = tooltest::ReadAll(dir_ + "/err");
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("cannot listen on 127.0.0.1:" + std::to_string(first.Port()) + ": Address already in use"),
              std::string::npos)
        << run.err;
}

}  // namespace

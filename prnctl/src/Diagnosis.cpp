#include "Diagnosis.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace prnctl {
namespace {

constexpr int kConnectWaitMs = 3000;
constexpr char kSocketPrefix[] = "SOCKET:";

std::string Address(const std::string& portText) {
    return portText.rfind(kSocketPrefix, 0) == 0 ? portText.substr(sizeof kSocketPrefix - 1)
                                                 : portText;
}

// connect() with a deadline: 0, or the errno it failed with (ETIMEDOUT when nothing answered).
int TryConnect(const std::string& address, int port) {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<uint16_t>(port));
    if (inet_pton(AF_INET, address.c_str(), &to.sin_addr) != 1) return EINVAL;
    const int sock = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (sock < 0) return errno;
    int result = 0;
    if (connect(sock, reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0) {
        result = errno;
        if (result == EINPROGRESS) {
            pollfd done{sock, POLLOUT, 0};
            if (poll(&done, 1, kConnectWaitMs) <= 0) {
                result = ETIMEDOUT;
            } else {
                socklen_t size = sizeof result;
                if (getsockopt(sock, SOL_SOCKET, SO_ERROR, &result, &size) != 0) result = errno;
            }
        }
    }
    close(sock);
    return result;
}

Diagnosis DiagnoseNetwork(const std::string& port, const std::string& settings) {
    const std::string address = Address(port);
    const std::string where = address + ":" + settings;
    const int portNumber = std::atoi(settings.c_str());
    switch (const int error = TryConnect(address, portNumber)) {
        case 0:
            return {"connected to " + where + ", but the printer did not answer its status request",
                    "check that " + settings +
                        " is the printer's raw print port and that the printer is ready"};
        case ECONNREFUSED:
            return {"connection refused by " + where,
                    "check the printer's address and that its raw print port " + settings +
                        " is enabled"};
        case ETIMEDOUT:
            return {"no answer from " + where + " within 3 s",
                    "check the address, the network cable and that the printer is switched on"};
        default:
            return {"cannot connect to " + where + ": " + std::strerror(error),
                    "check the address, the route to it and the network cable"};
    }
}

std::string SilentAdvice(const Transport& transport) {
    const std::string name = transport.name;
    if (name == "serial") {
        return "check the settings text (speed, parity, data bits, stop bits and flow control "
               "must be the printer's) and the cable";
    }
    if (name == "parallel") {
        return "check the cable, that the printer is switched on, and that the port's mode in "
               "the firmware setup allows a reverse channel (bidirectional, ECP or EPP)";
    }
    return "check the cable and that the printer is switched on";
}

Diagnosis DiagnoseDevice(const Transport& transport, const std::string& port) {
    const std::string name = transport.name;
    struct stat node{};
    if (stat(port.c_str(), &node) != 0) {
        std::string todo = "check that the printer is plugged in and switched on, and the name";
        if (name == "serial") todo += " (ls /dev/ttyUSB* /dev/ttyS* /dev/ttyACM*)";
        if (name == "usb") todo += " (ls /dev/usb/; the usblp driver makes lp0, lp1, ...)";
        if (name == "parallel") todo = "load the ppdev driver (modprobe ppdev) and check the name";
        return {port + " does not exist", todo};
    }
    const int fd = open(port.c_str(), O_RDWR | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    const int error = fd < 0 ? errno : 0;
    if (fd >= 0) close(fd);
    switch (error) {
        case 0:
            return {"the printer did not answer on " + port, SilentAdvice(transport)};
        case EACCES:
        case EPERM: {
            std::string todo = "run as a user who may use it";
            if (*transport.group != '\0') {
                todo = std::string("add the user to the '") + transport.group +
                       "' group (usermod -aG " + transport.group +
                       " USER, then log in again) or give the device a udev rule";
            }
            return {"permission denied on " + port, todo};
        }
        case EBUSY:
            return {port + " is in use by another program", "find it with: fuser -v " + port};
        case ENXIO:
        case ENODEV:
            return {"no device is behind " + port, "check that the printer is plugged in"};
        default:
            return {"cannot open " + port + ": " + std::strerror(error), SilentAdvice(transport)};
    }
}

}  // namespace

bool NetworkPort(const std::string& text, const std::string& settings, std::string& portText,
                 std::string& tcpPort) {
    std::string address = Address(text);
    tcpPort = settings.empty() ? "9100" : settings;
    if (const size_t colon = address.find(':'); colon != std::string::npos) {
        if (!settings.empty()) return false;  // the port given twice
        tcpPort = address.substr(colon + 1);
        address = address.substr(0, colon);
    }
    in_addr parsed{};
    if (inet_pton(AF_INET, address.c_str(), &parsed) != 1) return false;
    if (tcpPort.empty() || tcpPort.size() > 5 ||
        tcpPort.find_first_not_of("0123456789") != std::string::npos) {
        return false;
    }
    const int number = std::atoi(tcpPort.c_str());
    if (number < 1 || number > 65535) return false;
    portText = kSocketPrefix + address;
    return true;
}

Diagnosis DiagnoseOpen(const Transport& transport, const std::string& port,
                       const std::string& settings, long result) {
    if (result == -3) {
        return {"the library did not accept the settings text \"" + settings + "\"",
                "give it as SPEED[,PARITY,DATA,STOP,FLOW], e.g. 9600,none,8,1,none"};
    }
    if (std::string(transport.name) == "net") return DiagnoseNetwork(port, settings);
    return DiagnoseDevice(transport, port);
}

}  // namespace prnctl

// One of the four port libraries, loaded as the JVM loads it, and its Java natives called with
// their Java signatures through a stand-in JNI environment: prnctl runs exactly the code the
// service runs, the library's byte trace included.
#pragma once

#include <jni.h>

#include <cstdint>
#include <string>
#include <vector>

#include "FakeJni.h"
#include "Natives.h"

namespace prnctl {

struct Transport {
    const char* name;         // the word on the command line
    const char* library;      // file name of the library
    const char* buildDir;     // its folder in a build tree, under jni/
    const char* javaClass;    // the port class the natives belong to
    const char* portExample;  // for the help text
    const char* group;        // the group that owns such device nodes ("" for none)
};

// serial, net, usb, parallel; nullptr for any other word.
const Transport* FindTransport(const std::string& name);
const std::vector<Transport>& Transports();

// Where the library of a transport is: explicit (--lib, then $PRN_LIB_DIR), then beside the
// installed command (BIN/../lib/prnjpos), then in the build tree the command was built in.
std::string LocateLibrary(const Transport& transport, const std::string& explicitFile);

class PortLibrary {
  public:
    PortLibrary() = default;
    ~PortLibrary();
    PortLibrary(const PortLibrary&) = delete;
    PortLibrary& operator=(const PortLibrary&) = delete;

    // False with error() saying why (the loader's message, or the natives that are missing).
    bool load(const std::string& path, const Transport& transport);
    const std::string& error() const { return error_; }

    long openPort(const std::string& port, const std::string& settings);
    long claim(long timeout, bool thermal);
    void release();
    void closePort();
    // Up to room bytes the printer has sent; the count, or a negative error code.
    int readData(std::vector<uint8_t>& into, int room);
    int writeData(const uint8_t* bytes, int length);
    int printerStatus();
    int drawerStatus();
    int openDrawer(long pin, long onMs, long offMs);
    bool waitForCompletePrinting();

  private:
    prntest::FakeJni jni_;
    void* handle_ = nullptr;
    std::string error_;
    prntest::Natives natives_;
};

}  // namespace prnctl

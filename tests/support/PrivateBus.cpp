#include "support/PrivateBus.h"

#include <chrono>
#include <filesystem>
#include <fstream>

namespace zorv::test {

CPrivateBus::CPrivateBus() {
    const std::string socket = m_dir.File("bus");
    const std::string config = m_dir.File("bus.conf");
    std::ofstream(config) << "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus "
                             "Configuration 1.0//EN\"\n"
                             " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
                             "<busconfig>\n"
                             "  <type>session</type>\n"
                             "  <listen>unix:path="
                          << socket
                          << "</listen>\n"
                             "  <auth>EXTERNAL</auth>\n"
                             "  <policy context=\"default\">\n"
                             "    <allow send_destination=\"*\" eavesdrop=\"true\"/>\n"
                             "    <allow eavesdrop=\"true\"/>\n"
                             "    <allow own=\"*\"/>\n"
                             "  </policy>\n"
                             "</busconfig>\n";
    m_address = "unix:path=" + socket;
    m_daemon = std::make_unique<CChildProcess>(
        "/usr/bin/dbus-daemon", std::vector<std::string>{"--nofork", "--config-file=" + config},
        m_dir.Path(), std::vector<std::string>{});
    PollUntil([&] { return std::filesystem::exists(socket) || !m_daemon->Running(); },
              std::chrono::seconds(10));
}

}  // namespace zorv::test

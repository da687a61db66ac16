#include "support/PrivateBus.h"

#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <fstream>

#include "support/Files.h"

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

CSystemLikeBus::CSystemLikeBus(const std::string& policyDir,
                               const std::vector<std::pair<std::string, gid_t>>& groups) {
    ::chmod(m_dir.Path().c_str(), 0755);
    const std::string socket = m_dir.File("bus");
    const std::string config = m_dir.File("bus.conf");
    const std::string groupFile = m_dir.File("group");
    std::string groupLines = ReadBytes("/etc/group");
    if (!groupLines.empty() && groupLines.back() != '\n') {
        groupLines += '\n';
    }
    for (const auto& [name, id] : groups) {
        groupLines += name + ":x:" + std::to_string(id) + ":\n";
    }
    WriteBytes(groupFile, groupLines);
    // The system bus's own defaults (/usr/share/dbus-1/system.conf), then
    // the services' policy files.
    std::ofstream(config)
        << "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus "
           "Configuration 1.0//EN\"\n"
           " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
           "<busconfig>\n"
           "  <type>system</type>\n"
           "  <listen>unix:path="
        << socket
        << "</listen>\n"
           "  <auth>EXTERNAL</auth>\n"
           "  <policy context=\"default\">\n"
           "    <allow user=\"*\"/>\n"
           "    <deny own=\"*\"/>\n"
           "    <deny send_type=\"method_call\"/>\n"
           "    <allow send_type=\"signal\"/>\n"
           "    <allow send_requested_reply=\"true\" send_type=\"method_return\"/>\n"
           "    <allow send_requested_reply=\"true\" send_type=\"error\"/>\n"
           "    <allow receive_type=\"method_call\"/>\n"
           "    <allow receive_type=\"method_return\"/>\n"
           "    <allow receive_type=\"error\"/>\n"
           "    <allow receive_type=\"signal\"/>\n"
           "    <allow send_destination=\"org.freedesktop.DBus\"\n"
           "           send_interface=\"org.freedesktop.DBus\"/>\n"
           "    <allow send_destination=\"org.freedesktop.DBus\"\n"
           "           send_interface=\"org.freedesktop.DBus.Introspectable\"/>\n"
           "  </policy>\n"
           "  <includedir>"
        << policyDir
        << "</includedir>\n"
           "</busconfig>\n";
    m_address = "unix:path=" + socket;
    // unshare gives the shell a private mount namespace; the bind mount
    // there is seen by the daemon alone and ends with it.
    m_daemon = std::make_unique<CChildProcess>(
        "/usr/bin/unshare",
        std::vector<std::string>{"--mount", "--propagation", "private", "/bin/sh", "-c",
                                 "mount --bind \"$0\" /etc/group && exec /usr/bin/dbus-daemon "
                                 "--nofork --config-file=\"$1\"",
                                 groupFile, config},
        m_dir.Path(), std::vector<std::string>{});
    PollUntil([&] { return std::filesystem::exists(socket) || !m_daemon->Running(); },
              std::chrono::seconds(10));
}

}  // namespace zorv::test

// The ports a child process listens on, read from /proc: servers started by
// the tests bind free ports on loopback.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace zorv::test {

// Local ports of the process's sockets in table (/proc/net/tcp or udp);
// for TCP only listening ones.
inline std::vector<uint16_t> ProcessPorts(pid_t pid, const std::string& table, bool tcp) {
    std::set<std::string> inodes;
    const std::string fds = "/proc/" + std::to_string(pid) + "/fd";
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(fds, ec)) {
        const std::string link = std::filesystem::read_symlink(entry.path(), ec).string();
        if (link.rfind("socket:[", 0) == 0) {
            inodes.insert(link.substr(8, link.size() - 9));
        }
    }
    std::vector<uint16_t> ports;
    std::ifstream in(table);
    std::string line;
    std::getline(in, line);
    while (std::getline(in, line)) {
        std::istringstream f(line);
        std::string slot, local, remote, state, queues, timer, retr, uid, timeout, inode;
        f >> slot >> local >> remote >> state >> queues >> timer >> retr >> uid >> timeout >> inode;
        if (inodes.count(inode) != 0 && (!tcp || state == "0A")) {
            ports.push_back(
                static_cast<uint16_t>(std::stoul(local.substr(local.find(':') + 1), nullptr, 16)));
        }
    }
    return ports;
}

}  // namespace zorv::test

// zorv18ctl listen's link through the server's local interface on D-Bus:
// one bus connection (one client object of the server), Authorization with
// the user's name and password, then listenChannel to start and to stop.
//
// Used from the one thread of the program.
#pragma once

#include <memory>
#include <string>

#include "CtlListen.h"

namespace sdbus {
class IConnection;
class IProxy;
}  // namespace sdbus

namespace zorv::ctl {

class CBusListenLink final : public IListenLink {
public:
    // bus: "system", "session" or a D-Bus address.
    CBusListenLink(std::string bus, std::string user, std::string password);
    ~CBusListenLink() override;

    bool Start(int device, int channel, uint16_t port, std::string& error) override;
    void Stop() override;

private:
    bool Connect(std::string& error);

    const std::string m_bus;
    const std::string m_user;
    std::string m_password;
    std::unique_ptr<sdbus::IConnection> m_connection;
    std::unique_ptr<sdbus::IProxy> m_proxy;
    bool m_started = false;
    int m_device = 0;
    int m_channel = 0;
    uint16_t m_port = 0;
};

}  // namespace zorv::ctl

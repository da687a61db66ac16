#include "CtlBusLink.h"

#include <algorithm>
#include <cstring>
#include <sdbus-c++/sdbus-c++.h>
#include <vector>

#include "access/UserAccount.h"
#include "core/LocalBusNames.h"
#include "platform/CredentialCipher.h"

namespace zorv::ctl {

CBusListenLink::CBusListenLink(std::string bus, std::string user, std::string password)
    : m_bus(std::move(bus)), m_user(std::move(user)), m_password(std::move(password)) {}

CBusListenLink::~CBusListenLink() {
    Stop();
    std::fill(m_password.begin(), m_password.end(), '\0');
}

bool CBusListenLink::Connect(std::string& error) {
    try {
        if (m_bus == "system") {
            m_connection = sdbus::createSystemBusConnection();
        } else if (m_bus == "session") {
            m_connection = sdbus::createSessionBusConnection();
        } else {
            m_connection = sdbus::createSessionBusConnectionWithAddress(m_bus);
        }
        m_proxy = sdbus::createProxy(*m_connection, kLocalBusName, kLocalObjectPath);
        // The user record of the login: the name enciphered as on the
        // network, the password as it is.
        tagUserID user{};
        if (m_user.size() > kUserNameMax || m_password.size() > kPasswordMax) {
            error = "user name or password longer than 20 bytes";
            return false;
        }
        std::memcpy(user.UserName, m_user.data(), m_user.size());
        std::memcpy(user.Password, m_password.data(), m_password.size());
        ApplyCredentialCipher(user.UserName, sizeof(user.UserName));
        const auto* bytes = reinterpret_cast<const uint8_t*>(&user);
        int32_t granted = 0;
        std::vector<uint8_t> account;
        m_proxy->callMethod("Authorization")
            .onInterface(kLocalInterfaceName)
            .withArguments(std::vector<uint8_t>(bytes, bytes + sizeof(user)))
            .storeResultsTo(granted, account);
        std::memset(&user, 0, sizeof(user));
        if (granted != 1) {
            error = "local login refused for " + m_user;
            return false;
        }
        return true;
    } catch (const sdbus::Error& e) {
        error = "local interface on the bus \"" + m_bus + "\": " + e.getMessage();
        return false;
    }
}

bool CBusListenLink::Start(int device, int channel, uint16_t port, std::string& error) {
    if (m_proxy == nullptr && !Connect(error)) {
        return false;
    }
    int32_t err = -1;
    try {
        m_proxy->callMethod("listenChannel")
            .onInterface(kLocalInterfaceName)
            .withArguments(int32_t{device}, int32_t{channel}, port, int32_t{1})
            .storeResultsTo(err);
    } catch (const sdbus::Error& e) {
        error = "listenChannel: " + e.getMessage();
        return false;
    }
    switch (err) {
        case 0:
            m_started = true;
            m_device = device;
            m_channel = channel;
            m_port = port;
            return true;
        case 2:
            error = "the server cannot listen there (no such channel, or it cannot open the socket)";
            return false;
        case 3:
            error = "refused (no rights)";
            return false;
        default:
            error = "the server answered " + std::to_string(err);
            return false;
    }
}

void CBusListenLink::Stop() {
    if (!m_started) {
        return;
    }
    m_started = false;
    try {
        int32_t err = 0;
        m_proxy->callMethod("listenChannel")
            .onInterface(kLocalInterfaceName)
            .withArguments(int32_t{m_device}, int32_t{m_channel}, m_port, int32_t{0})
            .storeResultsTo(err);
    } catch (const sdbus::Error&) {
        // The server is gone: there is no link left to end.
    }
}

}  // namespace zorv::ctl

#include "access/LocalBus.h"

#include <fcntl.h>
#include <poll.h>
#include <sdbus-c++/sdbus-c++.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <sstream>

#include "core/Journal.h"
#include "platform/Cp1251.h"

namespace zorv {
namespace {

using Bytes = std::vector<uint8_t>;

constexpr bool kPureRead = true;     // a pure read: every local account may call it
constexpr bool kPrivileged = false;  // root and the service's group only

// The methods of operations the server does not have yet: for the service's
// group only, until each is built and its kind known.
#define ZORV_UNAVAILABLE(name) \
    { name, "ay", "Request", "ayi", "Reply,Err", false, kPrivileged }

// clang-format off
constexpr LocalMethod kMethods[] = {
    {"GetStateDvr", "", "", "ay", "State", true, kPureRead},
    {"GetDvrConfig", "", "", "ay", "Config", true, kPureRead},
    {"GetServiceParam", "", "", "ay", "Param", true, kPureRead},
    {"GetDeviceConfig", "i", "Device", "ayi", "Config,Err", true, kPureRead},
    {"GetChanelParam", "ii", "Device,Channel", "ayi", "Param,Err", true, kPureRead},
    {"GetDeviceChannelState", "i", "Device", "ayi", "State,Err", true, kPureRead},
    {"Authorization", "ay", "User", "iay", "Authorized,Account", true, kPrivileged},
    {"SetPath", "is", "Index,Path", "i", "Err", true, kPrivileged},
    {"SetFileSizes", "uu", "MinSeconds,MaxSeconds", "i", "Err", true, kPrivileged},
    {"SetDelSize", "u", "Megabytes", "i", "Err", true, kPrivileged},
    {"SetChannelSampleRate", "iiiu", "Device,First,Last,Rate", "i", "Err", true, kPrivileged},
    {"SetChannelEnable", "iiii", "Device,First,Last,Enable", "i", "Err", true, kPrivileged},
    {"SetChannelActivate", "iiiu", "Device,First,Last,Mode", "i", "Err", true, kPrivileged},
    {"SetChannelCompress", "iiiu", "Device,First,Last,Compress", "i", "Err", true, kPrivileged},
    {"SetChannelTOn", "iiiu", "Device,First,Last,Seconds", "i", "Err", true, kPrivileged},
    {"SetChannelTOff", "iiiu", "Device,First,Last,Seconds", "i", "Err", true, kPrivileged},
    {"SetChannelTreshold", "iiiu", "Device,First,Last,Threshold", "i", "Err", true, kPrivileged},
    {"SetStereoChannel", "iii", "Device,Master,Slave", "i", "Err", true, kPrivileged},
    {"UndoStereoChannel", "iii", "Device,Master,Slave", "i", "Err", true, kPrivileged},
    {"ManualActivateChannel", "iiii", "Device,First,Last,On", "i", "Err", true, kPrivileged},
    {"SetChannelListen", "iiii", "Device,First,Last,Listen", "i", "Err", true, kPrivileged},
    {"SetChannelAruEnable", "iiiu", "Device,First,Last,Value", "i", "Err", true, kPrivileged},
    {"SetChannelAruLevel", "iiiu", "Device,First,Last,Value", "i", "Err", true, kPrivileged},
    {"SetChannelAruSpeed", "iiiu", "Device,First,Last,Value", "i", "Err", true, kPrivileged},
    {"SetChannelAruK", "iiiu", "Device,First,Last,Value", "i", "Err", true, kPrivileged},
    {"SetQuota", "uu", "Quota1,Quota2", "i", "Err", true, kPrivileged},
    {"ShutDown", "", "", "i", "Err", true, kPrivileged},
    ZORV_UNAVAILABLE("ChangeCompressFormat"),
    ZORV_UNAVAILABLE("SetDefaultCompressFormat"),
    ZORV_UNAVAILABLE("GetCompressFormat"),
    {"SetChannelDefaultParam", "iii", "Device,First,Last", "i", "Err", true, kPrivileged},
    {"SetGainAdc", "iii", "Device,Channel,Gain", "i", "Err", true, kPrivileged},
    {"GetGainAdc", "ii", "Device,Channel", "ii", "Gain,Err", true, kPureRead},
    {"GetReadHandlePipe", "i", "ProcessId", "hi", "Pipe,Handle", true, kPrivileged},
    {"ClosePipe", "", "", "", "", true, kPrivileged},
    {"GetServerUsers", "", "", "ayu", "Users,Count", true, kPureRead},
    {"DetachUser", "ay", "User", "i", "Err", true, kPrivileged},
    {"GetTlfParam", "ii", "Device,Channel", "ayi", "Param,Err", true, kPureRead},
    {"SetTlfParam", "iiiay", "Device,First,Last,Param", "i", "Err", true, kPrivileged},
    {"GetServiceTlfParam", "i", "Device", "ayi", "Param,Err", true, kPureRead},
    {"GetAlarmConfig", "", "", "ay", "Config", true, kPureRead},
    {"SetAlarmConfig", "ay", "Config", "", "", true, kPrivileged},
    {"SetChannelSourceSignal", "iiiu", "Device,First,Last,Value", "i", "Err", true, kPrivileged},
    {"SetChannelKeyEnable", "iiiu", "Device,First,Last,Value", "i", "Err", true, kPrivileged},
    {"GetChannelSourceSignal", "ii", "Device,Channel", "ui", "Value,Err", true, kPureRead},
    {"GetChannelKeyEnable", "ii", "Device,Channel", "ui", "Value,Err", true, kPureRead},
    ZORV_UNAVAILABLE("SetFiltersParam"),
    ZORV_UNAVAILABLE("GetFiltersParam"),
    {"AddAlias", "iis", "Device,Channel,Alias", "i", "Err", true, kPrivileged},
    {"SetAonFlags", "iiu", "Device,Channel,Flags", "i", "Err", true, kPrivileged},
    {"GetAonFlags", "ii", "Device,Channel", "ui", "Flags,Err", true, kPureRead},
    {"GetPolarity", "ii", "Device,Channel", "ui", "Mode,Err", true, kPureRead},
    {"SetPolarity", "iii", "Device,Channel,Mode", "i", "Err", true, kPrivileged},
    {"GetPolarityCheckTimeOut", "ii", "Device,Channel", "ui", "Seconds,Err", true, kPureRead},
    {"SetPolarityCheckTimeOut", "iiu", "Device,Channel,Seconds", "i", "Err", true, kPrivileged},
    ZORV_UNAVAILABLE("setNet2CompressMode"),
    ZORV_UNAVAILABLE("getNet2CompressMode"),
    {"getNet2BufferMode", "i", "Device", "ui", "Mode,Err", true, kPureRead},
    {"setNet2BufferMode", "iu", "Device,Mode", "i", "Err", true, kPrivileged},
    ZORV_UNAVAILABLE("getBusyAnalyzerEnabled"),
    ZORV_UNAVAILABLE("setBusyAnalyzerEnabled"),
    {"getDeleteFilesAtDateConfig", "", "", "iui", "Enable,Days,Err", true, kPureRead},
    {"setDeleteFilesAtDateConfig", "iu", "Enable,Days", "i", "Err", true, kPrivileged},
    ZORV_UNAVAILABLE("SetArchiverCopyMode"),
    ZORV_UNAVAILABLE("SetArchiverMode"),
    {"SetChannelArchivate", "iiu", "Device,Channel,Value", "i", "Err", true, kPrivileged},
    ZORV_UNAVAILABLE("StartArchiver"),
    ZORV_UNAVAILABLE("StopArchiver"),
    ZORV_UNAVAILABLE("AddArchiv"),
    ZORV_UNAVAILABLE("RemoveArchiv"),
    ZORV_UNAVAILABLE("GetArchivCount"),
    ZORV_UNAVAILABLE("GetArchiv"),
    ZORV_UNAVAILABLE("GetCopyMode"),
    ZORV_UNAVAILABLE("GetMode"),
    ZORV_UNAVAILABLE("GetChannelArchivate"),
    ZORV_UNAVAILABLE("EditArchiv"),
    ZORV_UNAVAILABLE("AddPeriod"),
    ZORV_UNAVAILABLE("DelPeriod"),
    ZORV_UNAVAILABLE("EditPeriod"),
    ZORV_UNAVAILABLE("GetEnum"),
    ZORV_UNAVAILABLE("GetCount"),
    ZORV_UNAVAILABLE("GetError"),
    ZORV_UNAVAILABLE("SetTlfFilterEnable"),
    ZORV_UNAVAILABLE("GetTlfFilterCount"),
    ZORV_UNAVAILABLE("AddTlfFilter"),
    ZORV_UNAVAILABLE("EditTlfFilter"),
    ZORV_UNAVAILABLE("DelTlfFilter"),
    ZORV_UNAVAILABLE("EnumTlfFilter"),
    ZORV_UNAVAILABLE("SetTarification"),
    ZORV_UNAVAILABLE("GetTarification"),
    ZORV_UNAVAILABLE("SetMultiFilters"),
    ZORV_UNAVAILABLE("MovePosition"),
    ZORV_UNAVAILABLE("AddRecipient"),
    ZORV_UNAVAILABLE("RemoveRecipient"),
    ZORV_UNAVAILABLE("EditRecipient"),
    ZORV_UNAVAILABLE("EnumRecipient"),
    ZORV_UNAVAILABLE("GetCountRecipient"),
    ZORV_UNAVAILABLE("SetSmtpParam"),
    ZORV_UNAVAILABLE("GetSmtpParam"),
    {"getFoundTranscodersCount", "", "", "ui", "Count,Err", true, kPureRead},
    ZORV_UNAVAILABLE("getFoundTranscodersList"),
    {"startTranscoder", "u", "Serial", "i", "Err", true, kPrivileged},
    {"stopTranscoder", "u", "Serial", "i", "Err", true, kPrivileged},
    ZORV_UNAVAILABLE("getTranscoderStatistic"),
    ZORV_UNAVAILABLE("setTranscoderConfig"),
    {"startTranscodersSearch", "", "", "i", "Err", true, kPrivileged},
    {"stopTranscodersSearch", "", "", "i", "Err", true, kPrivileged},
    {"getTranscodersSearchStatus", "", "", "ii", "Searching,Err", true, kPureRead},
    ZORV_UNAVAILABLE("getTranscoderConfig"),
    {"getAonForm", "u", "Serial", "uui", "Level,Form,Err", true, kPureRead},
    {"setAonForm", "uuu", "Serial,Level,Form", "i", "Err", true, kPrivileged},
    {"addConfigPort", "q", "Port", "i", "Err", true, kPrivileged},
    {"delConfigPort", "q", "Port", "i", "Err", true, kPrivileged},
    {"getCountConfigPorts", "", "", "ui", "Count,Err", true, kPureRead},
    {"getConfigPort", "u", "Index", "qi", "Port,Err", true, kPureRead},
    {"addStaticAddress", "uq", "Address,Port", "i", "Err", true, kPrivileged},
    {"delStaticAddress", "uq", "Address,Port", "i", "Err", true, kPrivileged},
    {"getCountStaticAddress", "", "", "ui", "Count,Err", true, kPureRead},
    {"getStaticAddress", "u", "Index", "uqi", "Address,Port,Err", true, kPureRead},
    ZORV_UNAVAILABLE("addNetDevice"),
    {"removeNetDevice", "u", "Serial", "i", "Err", true, kPrivileged},
    {"reposNetDevice", "uu", "Position,NewPosition", "i", "Err", true, kPrivileged},
    {"getCountNetDevice", "", "", "ui", "Count,Err", true, kPureRead},
    ZORV_UNAVAILABLE("getConfigNetDevice"),
    ZORV_UNAVAILABLE("setConfigNetDevice"),
    ZORV_UNAVAILABLE("getAutoAnswerConf"),
    ZORV_UNAVAILABLE("setAutoAnswerConf"),
    ZORV_UNAVAILABLE("getAutoAnswerWaveFileConf"),
    ZORV_UNAVAILABLE("setAutoAnswerWaveFileConf"),
    ZORV_UNAVAILABLE("SetBuzyAnalyzerParam"),
    ZORV_UNAVAILABLE("GetBuzyAnalyzerParam"),
    ZORV_UNAVAILABLE("GetBuzyAnalyzerState"),
    ZORV_UNAVAILABLE("StartBuzyAnalyzerTune"),
    ZORV_UNAVAILABLE("getSize"),
    ZORV_UNAVAILABLE("enumPropertySet"),
    ZORV_UNAVAILABLE("getTypeDescriptor"),
    ZORV_UNAVAILABLE("setValue"),
    ZORV_UNAVAILABLE("getPropertySize"),
    ZORV_UNAVAILABLE("getValue"),
    ZORV_UNAVAILABLE("getDescriptorSize"),
    {"listenChannel", "iiqi", "Device,Channel,Port,Enabled", "i", "Err", true, kPrivileged},
    {"lineMonitorChannel", "iiqi", "Device,Channel,Port,Enabled", "i", "Err", true, kPrivileged},
    {"SetChannelMute", "iii", "Device,Channel,On", "i", "Err", true, kPrivileged},
    {"GetChannelMute", "ii", "Device,Channel", "ii", "Muted,Err", true, kPureRead},
    ZORV_UNAVAILABLE("GetFiltersEnabled"),
};
// clang-format on

#undef ZORV_UNAVAILABLE

std::vector<std::string> Names(const char* list) {
    std::vector<std::string> names;
    std::stringstream in(list);
    std::string name;
    while (std::getline(in, name, ',')) {
        names.push_back(name);
    }
    return names;
}

template <typename Record>
Bytes AsBytes(const Record& record) {
    const auto* p = reinterpret_cast<const uint8_t*>(&record);
    return Bytes(p, p + sizeof(Record));
}

// A record given as bytes must have its exact size.
template <typename Record>
Record FromBytes(const Bytes& bytes, const char* what) {
    if (bytes.size() != sizeof(Record)) {
        throw sdbus::Error("org.freedesktop.DBus.Error.InvalidArgs",
                           std::string(what) + " must be " + std::to_string(sizeof(Record)) +
                               " bytes, not " + std::to_string(bytes.size()));
    }
    Record record;
    std::memcpy(&record, bytes.data(), sizeof(Record));
    return record;
}

// The reply of a method whose operation is not there.
void ReplyUnavailable(sdbus::MethodCall& call) {
    auto reply = call.createReply();
    reply << Bytes{} << int32_t{0};
    reply.send();
}

template <typename... Values>
void ReplyWith(sdbus::MethodCall& call, const Values&... values) {
    auto reply = call.createReply();
    if constexpr (sizeof...(Values) > 0) {
        (reply << ... << values);
    }
    reply.send();
}

}  // namespace

std::span<const LocalMethod> LocalMethods() {
    return kMethods;
}

std::vector<std::string> LocalReadMethods() {
    std::vector<std::string> names;
    for (const LocalMethod& method : kMethods) {
        if (method.read) {
            names.push_back(method.name);
        }
    }
    return names;
}

CLocalBus::CLocalBus(ILocalInterface& local, IJournal& journal, IClock& clock)
    : m_local(local), m_journal(journal), m_clock(clock) {}

CLocalBus::~CLocalBus() {
    Stop();
}

bool CLocalBus::Start(const std::string& bus) {
    Stop();
    if (bus == "none") {
        return false;
    }
    try {
        if (bus.empty() || bus == "system") {
            m_connection = sdbus::createSystemBusConnection(kLocalBusName);
        } else if (bus == "session") {
            m_connection = sdbus::createSessionBusConnection(kLocalBusName);
        } else {
            m_connection = sdbus::createSessionBusConnectionWithAddress(bus);
            m_connection->requestName(kLocalBusName);
        }
        Register();
    } catch (const sdbus::Error& e) {
        m_journal.FormatJournal(kJournalError,
                                "Local interface not published on the bus \"%s\": %s",
                                bus.empty() ? "system" : bus, e.getMessage());
        m_gateway.reset();
        m_object.reset();
        m_connection.reset();
        return false;
    }
    m_stopping = false;
    m_loop = std::thread([this] { Loop(); });
    return true;
}

void CLocalBus::Loop() {
    // The bus connection's own loop, so that a bus that goes away (its
    // daemon restarted or stopped) is journaled and ends the local
    // interface instead of the process.
    try {
        while (!m_stopping.load()) {
            while (m_connection->processPendingRequest()) {
                if (m_stopping.load()) {
                    return;
                }
            }
            const auto poll = m_connection->getEventLoopPollData();
            pollfd fds[2] = {{poll.fd, poll.events, 0}, {m_wake.Fd(), POLLIN, 0}};
            const int timeout = poll.getPollTimeout();
            ::poll(fds, 2, timeout < 0 || timeout > 1000 ? 1000 : timeout);
            m_wake.TryReset();
            CMutexLock lock(m_lock);
            EndIdleSessions();
        }
    } catch (const std::exception& e) {
        m_journal.FormatJournal(kJournalError, "Local interface lost its bus: %s", e.what());
    }
}

void CLocalBus::Stop() {
    if (m_loop.joinable()) {
        m_stopping = true;
        m_wake.Set();
        m_loop.join();
    }
    if (m_connection != nullptr) {
        m_gateway.reset();
        m_object.reset();
        m_connection.reset();
    }
    CMutexLock lock(m_lock);
    m_sessions.clear();
    ClosePipe();
}

void CLocalBus::Register() {
    m_object = sdbus::createObject(*m_connection, kLocalObjectPath);
    for (const LocalMethod& method : kMethods) {
        m_object->registerMethod(kLocalInterfaceName, method.name, method.in, Names(method.inNames),
                                 method.out, Names(method.outNames),
                                 [this, &method](sdbus::MethodCall call) {
                                     Dispatch(method, call);
                                 });
    }
    m_object->finishRegistration();

    m_gateway = sdbus::createObject(*m_connection, kDbGatewayPath);
    m_gateway->registerMethod(kDbGatewayInterfaceName, "addDataBaseRecord", "ay", {"Record"}, "i",
                              {"Err"}, [this](sdbus::MethodCall call) {
                                  Bytes bytes;
                                  call >> bytes;
                                  // A record of another size is refused, not an error reply.
                                  int32_t err = 0;
                                  if (bytes.size() == sizeof(tagDB_Record)) {
                                      tagDB_Record record;
                                      std::memcpy(&record, bytes.data(), sizeof(record));
                                      err = m_local.AddDataBaseRecord(record) ? 1 : 0;
                                  }
                                  ReplyWith(call, err);
                              });
    m_gateway->finishRegistration();

    // A client that leaves the bus ends its client object.
    m_connection->addMatch(
        "type='signal',sender='org.freedesktop.DBus',interface='org.freedesktop.DBus',"
        "member='NameOwnerChanged'",
        [this](sdbus::Message& message) {
            std::string name, oldOwner, newOwner;
            message >> name >> oldOwner >> newOwner;
            OnNameOwnerChanged(name, newOwner);
        },
        sdbus::floating_slot);
}

void CLocalBus::OnNameOwnerChanged(const std::string& name, const std::string& newOwner) {
    if (newOwner.empty()) {
        CMutexLock lock(m_lock);
        m_sessions.erase(name);
    }
}

CLocalSession& CLocalBus::SessionOf(sdbus::MethodCall& call) {
    const std::string sender = call.getSender();
    if (auto found = m_sessions.find(sender); found != m_sessions.end()) {
        return found->second.local;
    }
    EndIdleSessions();
    // The bus daemon knows the caller's account; asked once per session.
    const uid_t uid = call.getCredsUid();
    const auto ofUser = std::count_if(m_sessions.begin(), m_sessions.end(),
                                      [uid](const auto& entry) { return entry.second.uid == uid; });
    if (m_sessions.size() >= kMaxSessions ||
        static_cast<std::size_t>(ofUser) >= kMaxSessionsPerUser) {
        throw sdbus::Error("org.freedesktop.DBus.Error.LimitsExceeded", "Too many local clients");
    }
    Session session{CLocalSession{}, uid, m_clock.SteadyNow()};
    session.local.peer = "local uid " + std::to_string(uid);
    return m_sessions.emplace(sender, std::move(session)).first->second.local;
}

void CLocalBus::EndIdleSessions() {
    const auto now = m_clock.SteadyNow();
    std::erase_if(m_sessions, [&](const auto& entry) {
        return !entry.second.local.authorized && now - entry.second.started >= kLoginLimit;
    });
}

void CLocalBus::Dispatch(const LocalMethod& method, sdbus::MethodCall& call) {
    if (!method.available) {
        ReplyUnavailable(call);
        return;
    }
    CMutexLock lock(m_lock);
    CLocalSession& s = SessionOf(call);
    ILocalInterface& l = m_local;
    const std::string_view name = method.name;

    int32_t device = 0, first = 0, last = 0;
    // Methods of the form (Device, First, Last, u32 value) -> Err.
    using RangeSetter = int (ILocalInterface::*)(CLocalSession&, int, int, int, uint32_t);
    static const std::map<std::string_view, RangeSetter> kRangeSetters = {
        {"SetChannelSampleRate", &ILocalInterface::SetChannelSampleRate},
        {"SetChannelActivate", &ILocalInterface::SetChannelActivate},
        {"SetChannelCompress", &ILocalInterface::SetChannelCompress},
        {"SetChannelTOn", &ILocalInterface::SetChannelTOn},
        {"SetChannelTOff", &ILocalInterface::SetChannelTOff},
        {"SetChannelTreshold", &ILocalInterface::SetChannelTreshold},
        {"SetChannelSourceSignal", &ILocalInterface::SetChannelSourceSignal},
        {"SetChannelKeyEnable", &ILocalInterface::SetChannelKeyEnable},
    };
    if (auto setter = kRangeSetters.find(name); setter != kRangeSetters.end()) {
        uint32_t value = 0;
        call >> device >> first >> last >> value;
        ReplyWith(call, int32_t{(l.*(setter->second))(s, device, first, last, value)});
        return;
    }
    // The setters that are allowed and change nothing, with their twin's rights.
    static const std::map<std::string_view, uint8_t> kIgnored = {
        {"SetChannelListen", 22}, {"SetChannelAruEnable", 23}, {"SetChannelAruLevel", 24},
        {"SetChannelAruSpeed", 25}, {"SetChannelAruK", 25}};
    if (auto ignored = kIgnored.find(name); ignored != kIgnored.end()) {
        call >> device >> first >> last;
        ReplyWith(call, int32_t{l.AcceptIgnored(s, ignored->second, device, first, last)});
        return;
    }

    if (name == "GetStateDvr") {
        tagStateProgramm state{};
        l.GetStateDvr(state);
        ReplyWith(call, AsBytes(state));
    } else if (name == "GetDvrConfig") {
        tagDvrConfig config{};
        l.GetDvrConfig(config);
        ReplyWith(call, AsBytes(config));
    } else if (name == "GetServiceParam") {
        ServiceParametrs param{};
        l.GetServiceParam(param);
        ReplyWith(call, AsBytes(param));
    } else if (name == "GetDeviceConfig") {
        call >> device;
        DeviceConfigReply config{};
        const int32_t err = l.GetDeviceConfig(device, config);
        ReplyWith(call, AsBytes(config), err);
    } else if (name == "GetChanelParam") {
        call >> device >> first;
        tagChanelParam param{};
        const int32_t err = l.GetChanelParam(device, first, param);
        ReplyWith(call, AsBytes(param), err);
    } else if (name == "GetDeviceChannelState") {
        call >> device;
        auto state = std::make_unique<tagCHANELS_STATE>();
        std::memset(state.get(), 0, sizeof(tagCHANELS_STATE));
        const int32_t err = l.GetDeviceChannelState(device, *state);
        ReplyWith(call, AsBytes(*state), err);
    } else if (name == "Authorization") {
        Bytes bytes;
        call >> bytes;
        const auto user = FromBytes<tagUserID>(bytes, "User");
        auto account = std::make_unique<tagUserAccountRecord>();
        const int32_t granted = l.Authorization(s, user, *account) ? 1 : 0;
        ReplyWith(call, granted, AsBytes(*account));
    } else if (name == "SetChannelEnable") {
        int32_t enable = 0;
        call >> device >> first >> last >> enable;
        ReplyWith(call, int32_t{l.SetChannelEnable(s, device, first, last, enable)});
    } else if (name == "SetStereoChannel" || name == "UndoStereoChannel") {
        call >> device >> first >> last;
        const int32_t err = name == "SetStereoChannel"
                                ? l.SetStereoChannel(s, device, first, last)
                                : l.UndoStereoChannel(s, device, first, last);
        ReplyWith(call, err);
    } else if (name == "ManualActivateChannel") {
        int32_t on = 0;
        call >> device >> first >> last >> on;
        ReplyWith(call, int32_t{l.ManualActivateChannel(s, device, first, last, on)});
    } else if (name == "ShutDown") {
        ReplyWith(call, int32_t{l.ShutDown(s)});
    } else if (name == "SetChannelDefaultParam") {
        call >> device >> first >> last;
        ReplyWith(call, int32_t{l.SetChannelDefaultParam(s, device, first, last)});
    } else if (name == "SetGainAdc") {
        int32_t gain = 0;
        call >> device >> first >> gain;
        ReplyWith(call, int32_t{l.SetGainAdc(s, device, first, gain)});
    } else if (name == "GetGainAdc") {
        call >> device >> first;
        int32_t gain = 0;
        const int32_t err = l.GetGainAdc(device, first, gain);
        ReplyWith(call, gain, err);
    } else if (name == "GetReadHandlePipe") {
        int32_t processId = 0;
        call >> processId;
        int readEnd = -1;
        const int32_t handle = ReadHandlePipe(processId, readEnd);
        ReplyWith(call, sdbus::UnixFd(readEnd, sdbus::adopt_fd), handle);
    } else if (name == "ClosePipe") {
        ClosePipe();
        ReplyWith(call);
    } else if (name == "GetServerUsers") {
        // Room for the 20 connections; Count of them are filled.
        const std::vector<ClientAtr> users = l.GetServerUsers();
        Bytes all(20 * sizeof(ClientAtr), 0);
        const std::size_t count = std::min<std::size_t>(users.size(), 20);
        if (count > 0) {
            std::memcpy(all.data(), users.data(), count * sizeof(ClientAtr));
        }
        ReplyWith(call, all, static_cast<uint32_t>(count));
    } else if (name == "DetachUser") {
        Bytes bytes;
        call >> bytes;
        ReplyWith(call, int32_t{l.DetachUser(s, FromBytes<ClientAtr>(bytes, "User"))});
    } else if (name == "GetTlfParam") {
        call >> device >> first;
        LineParams params{};
        const int32_t err = l.GetTlfParam(device, first, params);
        ReplyWith(call, AsBytes(params), err);
    } else if (name == "SetTlfParam") {
        Bytes bytes;
        call >> device >> first >> last >> bytes;
        const auto params = FromBytes<LineParams>(bytes, "Param");
        ReplyWith(call, int32_t{l.SetTlfParam(s, device, first, last, params)});
    } else if (name == "GetServiceTlfParam") {
        call >> device;
        std::array<uint8_t, kServiceTlfParamSize> block{};
        const int32_t err = l.GetServiceTlfParam(device, block);
        ReplyWith(call, Bytes(block.begin(), block.end()), err);
    } else if (name == "GetAlarmConfig") {
        ReplyWith(call, Bytes{});
    } else if (name == "SetAlarmConfig") {
        ReplyWith(call);
    } else if (name == "AddAlias") {
        std::string alias;
        call >> device >> first >> alias;
        ReplyWith(call, int32_t{l.AddAlias(s, device, first, Utf8ToCp1251(alias))});
    } else if (name == "SetAonFlags" || name == "SetPolarityCheckTimeOut" ||
               name == "SetChannelArchivate") {
        uint32_t value = 0;
        call >> device >> first >> value;
        int32_t err = 0;
        if (name == "SetAonFlags") {
            err = l.SetAonFlags(s, device, first, value);
        } else if (name == "SetPolarityCheckTimeOut") {
            err = l.SetPolarityCheckTimeOut(s, device, first, value);
        } else {
            err = l.SetChannelArchivate(s, device, first, value);
        }
        ReplyWith(call, err);
    } else if (name == "GetAonFlags" || name == "GetPolarityCheckTimeOut") {
        call >> device >> first;
        uint32_t value = 0;
        const int32_t err = name == "GetAonFlags" ? l.GetAonFlags(device, first, value)
                                                  : l.GetPolarityCheckTimeOut(device, first, value);
        ReplyWith(call, value, err);
    } else if (name == "SetPolarity" || name == "SetChannelMute") {
        int32_t value = 0;
        call >> device >> first >> value;
        const int32_t err = name == "SetPolarity" ? l.SetPolarity(s, device, first, value)
                                                  : l.SetChannelMute(s, device, first, value);
        ReplyWith(call, err);
    } else if (name == "GetChannelMute") {
        call >> device >> first;
        int32_t muted = 0;
        const int32_t err = l.GetChannelMute(device, first, muted);
        ReplyWith(call, muted, err);
    } else if (name == "listenChannel" || name == "lineMonitorChannel") {
        uint16_t port = 0;
        int32_t enabled = 0;
        call >> device >> first >> port >> enabled;
        const int kind = name == "listenChannel" ? 0 : 1;
        ReplyWith(call, int32_t{l.ListenChannel(s, kind, device, first, port, enabled != 0)});
    } else if (!DispatchStorageAndTranscoders(name, call, s)) {
        ReplyUnavailable(call);
    }
}

bool CLocalBus::DispatchStorageAndTranscoders(std::string_view name, sdbus::MethodCall& call,
                                              CLocalSession& s) {
    ILocalInterface& l = m_local;
    uint32_t a = 0, b = 0, c = 0;
    uint16_t port = 0;
    int32_t device = 0, channel = 0;
    // Methods of one u32 (serial numbers) -> Err.
    using SerialChange = int (ILocalInterface::*)(CLocalSession&, uint32_t);
    static const std::map<std::string_view, SerialChange> kSerialChanges = {
        {"SetDelSize", &ILocalInterface::SetDelSize},
        {"startTranscoder", &ILocalInterface::StartTranscoder},
        {"stopTranscoder", &ILocalInterface::StopTranscoder},
        {"removeNetDevice", &ILocalInterface::RemoveNetDevice}};
    // Counts -> (Count, Err).
    using Count = uint32_t (ILocalInterface::*)();
    static const std::map<std::string_view, Count> kCounts = {
        {"getFoundTranscodersCount", &ILocalInterface::GetFoundTranscodersCount},
        {"getCountConfigPorts", &ILocalInterface::GetCountConfigPorts},
        {"getCountStaticAddress", &ILocalInterface::GetCountStaticAddress},
        {"getCountNetDevice", &ILocalInterface::GetCountNetDevice}};
    // Channel reads -> (Value, Err).
    using ChannelRead = int (ILocalInterface::*)(int, int, uint32_t&);
    static const std::map<std::string_view, ChannelRead> kChannelReads = {
        {"GetChannelSourceSignal", &ILocalInterface::GetChannelSourceSignal},
        {"GetChannelKeyEnable", &ILocalInterface::GetChannelKeyEnable},
        {"GetPolarity", &ILocalInterface::GetPolarity}};

    if (auto change = kSerialChanges.find(name); change != kSerialChanges.end()) {
        call >> a;
        ReplyWith(call, int32_t{(l.*(change->second))(s, a)});
    } else if (auto count = kCounts.find(name); count != kCounts.end()) {
        ReplyWith(call, (l.*(count->second))(), int32_t{1});
    } else if (auto read = kChannelReads.find(name); read != kChannelReads.end()) {
        call >> device >> channel;
        const int32_t err = (l.*(read->second))(device, channel, a);
        ReplyWith(call, a, err);
    } else if (name == "SetFileSizes" || name == "SetQuota" || name == "reposNetDevice") {
        call >> a >> b;
        const int32_t err = name == "SetFileSizes" ? l.SetFileSizes(s, a, b)
                            : name == "SetQuota"   ? l.SetQuota(s, a, b)
                                                   : l.ReposNetDevice(s, a, b);
        ReplyWith(call, err);
    } else if (name == "getDeleteFilesAtDateConfig") {
        int32_t enable = 0;
        l.GetDeleteFilesAtDateConfig(enable, a);
        ReplyWith(call, enable, a, int32_t{1});
    } else if (name == "setDeleteFilesAtDateConfig") {
        int32_t enable = 0;
        call >> enable >> a;
        ReplyWith(call, int32_t{l.SetDeleteFilesAtDateConfig(s, enable, a)});
    } else if (name == "startTranscodersSearch") {
        ReplyWith(call, int32_t{l.StartTranscodersSearch(s)});
    } else if (name == "stopTranscodersSearch") {
        ReplyWith(call, int32_t{l.StopTranscodersSearch(s)});
    } else if (name == "getTranscodersSearchStatus") {
        ReplyWith(call, int32_t{l.GetTranscodersSearchStatus() ? 1 : 0}, int32_t{1});
    } else if (name == "getAonForm") {
        call >> a;
        const int32_t err = l.GetAonForm(a, b, c);
        ReplyWith(call, b, c, err);
    } else if (name == "setAonForm") {
        call >> a >> b >> c;
        ReplyWith(call, int32_t{l.SetAonForm(s, a, b, c)});
    } else if (name == "addConfigPort" || name == "delConfigPort") {
        call >> port;
        ReplyWith(call, int32_t{name == "addConfigPort" ? l.AddConfigPort(s, port)
                                                        : l.DelConfigPort(s, port)});
    } else if (name == "getConfigPort") {
        call >> a;
        const int32_t err = l.GetConfigPort(a, port);
        ReplyWith(call, port, err);
    } else if (name == "addStaticAddress" || name == "delStaticAddress") {
        call >> a >> port;
        ReplyWith(call, int32_t{name == "addStaticAddress" ? l.AddStaticAddress(s, a, port)
                                                           : l.DelStaticAddress(s, a, port)});
    } else if (name == "SetPath") {
        std::string path;
        call >> device >> path;
        ReplyWith(call, int32_t{l.SetPath(s, device, path)});
    } else if (name == "getNet2BufferMode") {
        call >> device;
        const int32_t err = l.GetNet2BufferMode(device, a);
        ReplyWith(call, a, err);
    } else if (name == "setNet2BufferMode") {
        call >> device >> a;
        ReplyWith(call, int32_t{l.SetNet2BufferMode(s, device, a)});
    } else if (name == "getStaticAddress") {
        call >> a;
        const int32_t err = l.GetStaticAddress(a, b, port);
        ReplyWith(call, b, port, err);
    } else {
        return false;
    }
    return true;
}

int CLocalBus::ReadHandlePipe(int processId, int& readEnd) {
    // The caller's process must exist; it receives its own copy of the read
    // end with the reply. Nothing in the server writes into the pipe.
    const bool exists = processId > 0 && (::kill(processId, 0) == 0 || errno == EPERM);
    if (exists && m_pipe[0] < 0 && ::pipe2(m_pipe, O_CLOEXEC) != 0) {
        m_pipe[0] = m_pipe[1] = -1;
    }
    if (!exists || m_pipe[0] < 0) {
        // The reply still carries a descriptor: one that reads nothing.
        readEnd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
        return -1;
    }
    readEnd = ::fcntl(m_pipe[0], F_DUPFD_CLOEXEC, 0);
    return readEnd >= 0 ? 1 : -1;
}

void CLocalBus::ClosePipe() {
    if (m_pipe[0] >= 0) {
        ::close(m_pipe[0]);
        ::close(m_pipe[1]);
        m_pipe[0] = m_pipe[1] = -1;
    }
}

}  // namespace zorv

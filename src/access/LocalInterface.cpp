#include "access/LocalInterface.h"

#include <algorithm>
#include <cstring>

#include "access/ClientServer.h"
#include "access/WireFields.h"
#include "platform/CredentialCipher.h"

namespace zorv {
namespace {

constexpr int kWordOff = 14;
constexpr int kWordOn = 15;
constexpr int kRefusalWord = 7;  // "Отказано - нет прав!"

// Shown as a number counted from 1.
unsigned One(int n) {
    return static_cast<unsigned>(n + 1);
}

std::string OnOff(bool on) {
    return CatalogText(Msg{on ? kWordOn : kWordOff});
}

std::string Denied() {
    return CatalogText(Msg{kRefusalWord});
}

// Success texts of the form "<name> ... channels %u-%u".
auto ChannelsText(const std::string& name, int id) {
    return [&name, id](IJournal& j, unsigned first, unsigned last) {
        j.FormatJournal(kJournalInfo, Msg{id}, name, first, last);
    };
}

// 1 done, anything else 0 (the device layer's 6 "not supported" included).
int Done(int result) {
    return result == 1 ? 1 : 0;
}

}  // namespace

CLocalInterface::CLocalInterface(CClientServer& clients, ILocalListenControl& listening,
                                 IRecordIntake* intake)
    : m_clients(clients), m_listening(listening), m_intake(intake) {}

// ---- Reads ----

void CLocalInterface::GetStateDvr(tagStateProgramm& out) {
    m_clients.Data().StateDvr(out);
}

void CLocalInterface::GetDvrConfig(tagDvrConfig& out) {
    m_clients.Data().DvrConfig(out);
}

void CLocalInterface::GetServiceParam(ServiceParametrs& out) {
    m_clients.Data().ServiceParam(out);
    out.ClientCount = static_cast<uint32_t>(m_clients.GetServerUsers().size());
    out.ServerPort = m_clients.Port();
}

int CLocalInterface::GetDeviceConfig(int device, DeviceConfigReply& out) {
    return m_clients.Data().DeviceConfig(device, out) ? 1 : 0;
}

int CLocalInterface::GetChanelParam(int device, int channel, tagChanelParam& out) {
    return m_clients.Data().ChannelParam(device, channel, out) ? 1 : 0;
}

int CLocalInterface::GetDeviceChannelState(int device, tagCHANELS_STATE& out) {
    return m_clients.Data().ChannelStates(device, out) ? 1 : 0;
}

int CLocalInterface::GetGainAdc(int device, int channel, int32_t& gain) {
    return m_clients.Data().GainAdc(device, channel, gain) ? 1 : 0;
}

int CLocalInterface::GetTlfParam(int device, int channel, LineParams& out) {
    return m_clients.Data().TlfParam(device, channel, out) ? 1 : 0;
}

int CLocalInterface::GetServiceTlfParam(int device,
                                        std::span<uint8_t, kServiceTlfParamSize> out) {
    return m_clients.Data().ServiceTlfParam(device, out) ? 1 : 0;
}

int CLocalInterface::GetAonFlags(int device, int channel, uint32_t& flags) {
    IClientOperations* ops = m_clients.Operations();
    return ops != nullptr && ops->GetAonFlags(device, channel, flags) ? 1 : 0;
}

int CLocalInterface::GetPolarityCheckTimeOut(int device, int channel, uint32_t& seconds) {
    IClientOperations* ops = m_clients.Operations();
    return ops != nullptr && ops->GetPolarityCheckTimeOut(device, channel, seconds) ? 1 : 0;
}

int CLocalInterface::GetChannelMute(int device, int channel, int32_t& muted) {
    IClientOperations* ops = m_clients.Operations();
    const int result = ops != nullptr ? ops->GetChannelMute(device, channel) : -1;
    muted = result == 1 ? 1 : 0;
    return result >= 0 ? 1 : 0;
}

std::vector<ClientAtr> CLocalInterface::GetServerUsers() {
    return m_clients.GetServerUsers();
}

// ---- The local login ----

bool CLocalInterface::Authorization(CLocalSession& session, const tagUserID& user,
                                    tagUserAccountRecord& account) {
    std::memset(&account, 0, sizeof(account));
    // The name arrives enciphered and maybe unterminated: decipher a copy of
    // the whole field, then take at most 20 bytes of it.
    char field[sizeof(user.UserName)];
    std::memcpy(field, user.UserName, sizeof(field));
    ApplyCredentialCipher(field, sizeof(field));
    const std::string name = FieldText(field, kUserNameMax);
    const std::string password = FieldText(user.Password, kPasswordMax);

    IJournal& journal = m_clients.Journal();
    CLoginGuard& guard = m_clients.Logins();
    IClock& clock = m_clients.Clock();
    session.authorized = false;
    session.rights.Clear();
    session.userName.clear();
    if (!guard.ReserveNow(session.peer, clock.SteadyNow())) {
        if (guard.Refused(session.peer, clock.SteadyNow(), CLoginGuard::Refusal::kEarly)) {
            journal.FormatJournal(kJournalError,
                                  "Local login of %s refused unchecked: %s must wait after "
                                  "refused logins",
                                  name, session.peer);
        }
        return false;
    }
    tagUserAccountRecord record{};
    if (!m_clients.Users().Lookup(name, password, record)) {
        if (guard.Refused(session.peer, clock.SteadyNow(), CLoginGuard::Refusal::kLogin)) {
            journal.FormatJournal(kJournalError, Msg{4}, name);
        }
        return false;
    }
    session.rights.Load(record);
    if (!session.rights.HasFunction(kFnLocalAccess)) {
        session.rights.Clear();
        if (guard.Refused(session.peer, clock.SteadyNow(), CLoginGuard::Refusal::kLogin)) {
            journal.FormatJournal(kJournalError, Msg{2}, name);
        }
        return false;
    }
    guard.Granted(session.peer);
    session.authorized = true;
    session.userName = name;
    account = record;
    journal.FormatJournal(kJournalInfo, Msg{3}, name);
    return true;
}

// ---- The change pattern ----

bool CLocalInterface::GlobalLines(int device, int& first, int& last) const {
    DeviceConfigReply config{};
    if (device < 0 || first < 0 || last < 0 || !m_clients.Data().DeviceConfig(device, config) ||
        static_cast<uint32_t>(std::max(first, last)) >= config.ChannelCount) {
        return false;
    }
    first += static_cast<int>(config.FirstLine);
    last += static_cast<int>(config.FirstLine);
    return true;
}

CLocalInterface::Admission CLocalInterface::Admit(const CLocalSession& s, uint8_t twinCode,
                                                  int device, int first, int last) const {
    const CommandSize* row = FindCommand(twinCode);
    if (row == nullptr) {
        return Admission::kRefused;
    }
    const bool channels = (row->flags & kCmdChannels) != 0;
    if (channels && !GlobalLines(device, first, last)) {
        return Admission::kNoSuchChannel;
    }
    const bool allowed = s.authorized &&
                         (row->right == kNoRight || s.rights.HasFunction(row->right)) &&
                         (row->right2 == kNoRight || s.rights.HasFunction(row->right2)) &&
                         (!channels || s.rights.HasChannels(first, last));
    return allowed ? Admission::kAllowed : Admission::kRefused;
}

template <typename Operation, typename Success>
int CLocalInterface::Change(CLocalSession& s, uint8_t twinCode, int device, int first, int last,
                            int refusal, Operation operation, Success success) {
    switch (Admit(s, twinCode, device, first, last)) {
        case Admission::kNoSuchChannel:
            return 0;
        case Admission::kRefused:
            if (refusal != 0) {
                int gf = first, gl = last;
                if (!GlobalLines(device, gf, gl)) {
                    gf = first;
                    gl = last;
                }
                m_clients.Journal().FormatJournal(kJournalError, Msg{refusal}, s.userName, One(gf),
                                                  One(gl), Denied());
            }
            return -1;
        case Admission::kAllowed:
            break;
    }
    IClientOperations* ops = m_clients.Operations();
    if (ops == nullptr) {
        return 0;
    }
    const int result = Done(operation(*ops));
    if (result == 1) {
        int gf = first, gl = last;
        GlobalLines(device, gf, gl);
        success(m_clients.Journal(), One(gf), One(gl));
    }
    return result;
}

int CLocalInterface::SetChannelSampleRate(CLocalSession& s, int device, int first, int last,
                                          uint32_t rate) {
    // The refusal text names no channels.
    if (Admit(s, 18, device, first, last) == Admission::kRefused) {
        m_clients.Journal().FormatJournal(kJournalError, Msg{13}, s.userName, Denied());
        return -1;
    }
    return Change(
        s, 18, device, first, last, 0,
        [&](IClientOperations& ops) { return ops.SetChannelSampleRate(device, first, last, rate); },
        [&](IJournal& j, unsigned, unsigned) {
            j.FormatJournal(kJournalInfo, Msg{12}, s.userName, rate, One(device));
        });
}

int CLocalInterface::SetChannelEnable(CLocalSession& s, int device, int first, int last,
                                      int32_t enable) {
    return Change(
        s, 7, device, first, last, 17,
        [&](IClientOperations& ops) { return ops.SetChannelEnable(device, first, last, enable); },
        [&](IJournal& j, unsigned f, unsigned l) {
            j.FormatJournal(kJournalInfo, Msg{16}, s.userName, OnOff(enable != 0), f, l);
        });
}

int CLocalInterface::SetChannelActivate(CLocalSession& s, int device, int first, int last,
                                        uint32_t mode) {
    return Change(
        s, 9, device, first, last, 19,
        [&](IClientOperations& ops) { return ops.SetChannelActivate(device, first, last, mode); },
        ChannelsText(s.userName, 18));
}

int CLocalInterface::SetChannelCompress(CLocalSession& s, int device, int first, int last,
                                        uint32_t compress) {
    if (Admit(s, 8, device, first, last) == Admission::kRefused) {
        // "attempt to <switch on/off> compression for channels"
        int gf = first, gl = last;
        GlobalLines(device, gf, gl);
        m_clients.Journal().FormatJournal(kJournalError, Msg{21}, s.userName, OnOff(compress != 0),
                                          One(gf), One(gl), Denied());
        return -1;
    }
    return Change(
        s, 8, device, first, last, 0,
        [&](IClientOperations& ops) { return ops.SetChannelCompress(device, first, last, compress); },
        [&](IJournal& j, unsigned f, unsigned l) {
            j.FormatJournal(kJournalInfo, Msg{20}, s.userName, OnOff(compress != 0), f, l);
        });
}

int CLocalInterface::SetChannelTOn(CLocalSession& s, int device, int first, int last,
                                   uint32_t seconds) {
    return Change(
        s, 10, device, first, last, 23,
        [&](IClientOperations& ops) { return ops.SetChannelTOn(device, first, last, seconds); },
        [&](IJournal& j, unsigned f, unsigned l) {
            j.FormatJournal(kJournalInfo, Msg{22}, s.userName, seconds, f, l);
        });
}

int CLocalInterface::SetChannelTOff(CLocalSession& s, int device, int first, int last,
                                    uint32_t seconds) {
    return Change(
        s, 11, device, first, last, 25,
        [&](IClientOperations& ops) { return ops.SetChannelTOff(device, first, last, seconds); },
        [&](IJournal& j, unsigned f, unsigned l) {
            j.FormatJournal(kJournalInfo, Msg{24}, s.userName, seconds, f, l);
        });
}

int CLocalInterface::SetChannelTreshold(CLocalSession& s, int device, int first, int last,
                                        uint32_t threshold) {
    return Change(
        s, 12, device, first, last, 27,
        [&](IClientOperations& ops) {
            return ops.SetChannelTreshold(device, first, last, threshold);
        },
        [&](IJournal& j, unsigned f, unsigned l) {
            j.FormatJournal(kJournalInfo, Msg{26}, s.userName, threshold, f, l);
        });
}

int CLocalInterface::SetStereoChannel(CLocalSession& s, int device, int master, int slave) {
    return Change(
        s, 19, device, master, slave, 29,
        [&](IClientOperations& ops) { return ops.SetStereoChannel(device, master, slave); },
        ChannelsText(s.userName, 28));
}

int CLocalInterface::UndoStereoChannel(CLocalSession& s, int device, int master, int slave) {
    return Change(
        s, 20, device, master, slave, 31,
        [&](IClientOperations& ops) { return ops.UndoStereoChannel(device, master, slave); },
        ChannelsText(s.userName, 30));
}

int CLocalInterface::ManualActivateChannel(CLocalSession& s, int device, int first, int last,
                                           int32_t on) {
    return Change(
        s, 21, device, first, last, 0,
        [&](IClientOperations& ops) {
            int result = 1;
            for (int ch = first; ch <= last; ++ch) {
                if (ops.ManualActivateChannel(device, ch, on != 0) != 1) {
                    result = 0;
                }
            }
            return result;
        },
        [](IJournal&, unsigned, unsigned) {});
}

int CLocalInterface::AcceptIgnored(CLocalSession& s, uint8_t twinCode, int device, int first,
                                   int last) {
    return Change(
        s, twinCode, device, first, last, 0, [](IClientOperations&) { return 1; },
        [](IJournal&, unsigned, unsigned) {});
}

int CLocalInterface::ShutDown(CLocalSession& s) {
    if (Admit(s, 16, 0, 0, 0) != Admission::kAllowed) {
        m_clients.Journal().FormatJournal(kJournalError, Msg{35}, s.userName, Denied());
        return -1;
    }
    IClientOperations* ops = m_clients.Operations();
    if (ops == nullptr) {
        return 0;
    }
    m_clients.Journal().FormatJournal(kJournalInfo, Msg{34}, s.userName);
    return Done(ops->ShutDown());
}

int CLocalInterface::SetChannelDefaultParam(CLocalSession& s, int device, int first, int last) {
    return Change(
        s, 29, device, first, last, 41,
        [&](IClientOperations& ops) { return ops.SetChannelDefaultParam(device, first, last); },
        ChannelsText(s.userName, 40));
}

int CLocalInterface::SetGainAdc(CLocalSession& s, int device, int channel, int32_t gain) {
    if (Admit(s, 30, device, channel, channel) == Admission::kRefused) {
        m_clients.Journal().FormatJournal(kJournalError, Msg{43}, s.userName, One(channel),
                                          Denied());
        return -1;
    }
    return Change(
        s, 30, device, channel, channel, 0,
        [&](IClientOperations& ops) { return ops.SetGainAdc(device, channel, gain); },
        [&](IJournal& j, unsigned, unsigned) {
            j.FormatJournal(kJournalInfo, Msg{42}, s.userName, One(channel), One(device));
        });
}

int CLocalInterface::DetachUser(CLocalSession& s, const ClientAtr& user) {
    if (Admit(s, 39, 0, 0, 0) != Admission::kAllowed) {
        return -1;
    }
    m_clients.DetachUser(FieldText(user.UserName, kUserNameMax),
                         FieldText(user.UserAddr, sizeof(user.UserAddr) - 1));
    return 1;
}

int CLocalInterface::SetTlfParam(CLocalSession& s, int device, int first, int last,
                                 const LineParams& params) {
    return Change(
        s, 45, device, first, last, 45,
        [&](IClientOperations& ops) { return ops.SetTlfParam(device, first, last, params); },
        ChannelsText(s.userName, 44));
}

int CLocalInterface::SetChannelSourceSignal(CLocalSession& s, int device, int first, int last,
                                            uint32_t value) {
    return Change(
        s, 60, device, first, last, 47,
        [&](IClientOperations& ops) {
            return ops.SetChannelSourceSignal(device, first, last, value);
        },
        [&](IJournal& j, unsigned f, unsigned l) {
            j.FormatJournal(kJournalInfo, Msg{46}, s.userName, OnOff(value != 0), f, l);
        });
}

int CLocalInterface::SetChannelKeyEnable(CLocalSession& s, int device, int first, int last,
                                         uint32_t value) {
    return Change(
        s, 61, device, first, last, 49,
        [&](IClientOperations& ops) { return ops.SetChannelKeyEnable(device, first, last, value); },
        ChannelsText(s.userName, 48));
}

int CLocalInterface::AddAlias(CLocalSession& s, int device, int channel,
                              const std::string& alias) {
    if (alias.size() > kUserNameMax) {
        return 0;  // the alias field holds 20 bytes
    }
    return Change(
        s, 41, device, channel, channel, 0,
        [&](IClientOperations& ops) { return ops.AddAlias(device, channel, alias); },
        [](IJournal&, unsigned, unsigned) {});
}

template <typename Operation>
int CLocalInterface::DeviceChannelChange(CLocalSession& s, uint8_t twinCode, int device,
                                         int channel, int success, int refusal,
                                         Operation operation) {
    // These texts name the device and the channel (from 1).
    if (Admit(s, twinCode, device, channel, channel) == Admission::kRefused) {
        m_clients.Journal().FormatJournal(kJournalError, Msg{refusal}, s.userName, One(device),
                                          One(channel), Denied());
        return -1;
    }
    return Change(s, twinCode, device, channel, channel, 0, operation,
                  [&](IJournal& j, unsigned, unsigned) {
                      j.FormatJournal(kJournalInfo, Msg{success}, s.userName, One(device),
                                      One(channel));
                  });
}

int CLocalInterface::SetAonFlags(CLocalSession& s, int device, int channel, uint32_t flags) {
    return DeviceChannelChange(s, 74, device, channel, 50, 51, [&](IClientOperations& ops) {
        return ops.SetAonFlags(device, channel, flags);
    });
}

int CLocalInterface::SetPolarity(CLocalSession& s, int device, int channel, int32_t mode) {
    return DeviceChannelChange(s, 76, device, channel, 52, 53, [&](IClientOperations& ops) {
        return ops.SetPolarity(device, channel, mode);
    });
}

int CLocalInterface::SetPolarityCheckTimeOut(CLocalSession& s, int device, int channel,
                                             uint32_t seconds) {
    return DeviceChannelChange(s, 78, device, channel, 52, 53, [&](IClientOperations& ops) {
        return ops.SetPolarityCheckTimeOut(device, channel, seconds);
    });
}

int CLocalInterface::SetChannelArchivate(CLocalSession& s, int device, int channel,
                                         uint32_t value) {
    return Change(
        s, 112, device, channel, channel, 0,
        [&](IClientOperations& ops) { return ops.SetChannelArchivate(device, channel, value); },
        [](IJournal&, unsigned, unsigned) {});
}

int CLocalInterface::SetChannelMute(CLocalSession& s, int device, int channel, int32_t on) {
    return Change(
        s, 53, device, channel, channel, 447,
        [&](IClientOperations& ops) { return ops.SetChannelMute(device, channel, on != 0); },
        [&](IJournal& j, unsigned f, unsigned l) {
            j.FormatJournal(kJournalInfo, Msg{446}, s.userName, OnOff(on != 0), f, l);
        });
}

// ---- Local listening ----

int CLocalInterface::ListenChannel(CLocalSession& s, int kind, int device, int channel,
                                   uint16_t port, bool enabled) {
    if (kind != 0 && kind != 1) {
        return 2;
    }
    if (!s.authorized) {
        return 3;
    }
    // The rights on the channel's global line; a device or channel that
    // does not exist fails the start as a device that does not take the
    // observer, and a stop still ends the link of its kind.
    int first = channel, last = channel;
    const bool exists = GlobalLines(device, first, last);
    if (!s.rights.HasFunction(kFnListening) || (exists && !s.rights.HasChannels(first, last))) {
        return 3;
    }
    if (!exists && enabled) {
        return 2;
    }
    return m_listening.ChangeLink(kind, device, channel, port, enabled);
}

// ---- The record database gateway ----

bool CLocalInterface::AddDataBaseRecord(const tagDB_Record& record) {
    return m_intake != nullptr && m_intake->OfferRecord(record);
}

// ---- Storage and transcoders: changes without channels ----

template <typename Operation, typename Success, typename Refusal>
int CLocalInterface::Guarded(CLocalSession& s, uint8_t twinCode, Operation operation,
                             Success success, Refusal refusal) {
    if (Admit(s, twinCode, 0, 0, 0) != Admission::kAllowed) {
        refusal(m_clients.Journal(), Denied());
        return -1;
    }
    IClientOperations* ops = m_clients.Operations();
    if (ops == nullptr) {
        return 0;
    }
    const int result = Done(operation(*ops));
    if (result == 1) {
        success(m_clients.Journal());
    }
    return result;
}

namespace {

// "<name> - ..." success and "<name> - attempt ...! <refusal>" texts with
// the same numbers in between.
template <typename... Numbers>
auto Said(const std::string& name, int id, Numbers... numbers) {
    return [&name, id, numbers...](IJournal& j) {
        j.FormatJournal(kJournalInfo, Msg{id}, name, numbers...);
    };
}

template <typename... Numbers>
auto Refused(const std::string& name, int id, Numbers... numbers) {
    return [&name, id, numbers...](IJournal& j, const std::string& denied) {
        j.FormatJournal(kJournalError, Msg{id}, name, numbers..., denied);
    };
}

}  // namespace

int CLocalInterface::SetFileSizes(CLocalSession& s, uint32_t minSeconds, uint32_t maxSeconds) {
    return Guarded(
        s, 43, [&](IClientOperations& ops) { return ops.SetFileSizes(minSeconds, maxSeconds); },
        Said(s.userName, 8), Refused(s.userName, 9));
}

int CLocalInterface::SetDelSize(CLocalSession& s, uint32_t megabytes) {
    return Guarded(
        s, 42, [&](IClientOperations& ops) { return ops.SetDelSize(megabytes); },
        Said(s.userName, 10), Refused(s.userName, 11));
}

int CLocalInterface::SetPath(CLocalSession& s, int index, const std::string& path) {
    // No network twin: the storage right of the quota command.
    const bool usable = (index == 0 || index == 1) && !path.empty() && path.front() == '/' &&
                        path.find('\0') == std::string::npos;
    return Guarded(
        s, 15,
        [&](IClientOperations& ops) { return usable ? ops.SetPath(index, path) : 0; },
        Said(s.userName, 5), Refused(s.userName, 6));
}

int CLocalInterface::SetQuota(CLocalSession& s, uint32_t quota1Mb, uint32_t quota2Mb) {
    return Guarded(
        s, 15, [&](IClientOperations& ops) { return ops.SetQuota(quota1Mb, quota2Mb); },
        Said(s.userName, 32), Refused(s.userName, 33));
}

void CLocalInterface::GetDeleteFilesAtDateConfig(int32_t& enable, uint32_t& days) {
    bool on = false;
    days = 0;
    if (IClientOperations* ops = m_clients.Operations()) {
        ops->GetDeleteFilesAtDateConfig(on, days);
    }
    enable = on ? 1 : 0;
}

int CLocalInterface::SetDeleteFilesAtDateConfig(CLocalSession& s, int32_t enable, uint32_t days) {
    const auto operation = [&](IClientOperations& ops) {
        return ops.SetDeleteFilesAtDateConfig(enable != 0, days);
    };
    if (enable != 0) {
        return Guarded(s, 88, operation, Said(s.userName, 423, days),
                       Refused(s.userName, 425, days));
    }
    return Guarded(s, 88, operation, Said(s.userName, 424), Refused(s.userName, 426));
}

int CLocalInterface::GetChannelSourceSignal(int device, int channel, uint32_t& value) {
    IClientOperations* ops = m_clients.Operations();
    return ops != nullptr && ops->GetChannelSourceSignal(device, channel, value) ? 1 : 0;
}

int CLocalInterface::GetChannelKeyEnable(int device, int channel, uint32_t& value) {
    IClientOperations* ops = m_clients.Operations();
    return ops != nullptr && ops->GetChannelKeyEnable(device, channel, value) ? 1 : 0;
}

int CLocalInterface::GetPolarity(int device, int channel, uint32_t& mode) {
    IClientOperations* ops = m_clients.Operations();
    return ops != nullptr && ops->GetPolarity(device, channel, mode) ? 1 : 0;
}

uint32_t CLocalInterface::GetFoundTranscodersCount() {
    IClientOperations* ops = m_clients.Operations();
    return ops != nullptr ? ops->GetFoundTranscodersCount() : 0;
}

int CLocalInterface::StartTranscoder(CLocalSession& s, uint32_t serial) {
    return Guarded(
        s, 212, [&](IClientOperations& ops) { return ops.StartTranscoder(serial); },
        Said(s.userName, 65, serial), Refused(s.userName, 66, serial));
}

int CLocalInterface::StopTranscoder(CLocalSession& s, uint32_t serial) {
    return Guarded(
        s, 213, [&](IClientOperations& ops) { return ops.StopTranscoder(serial); },
        Said(s.userName, 67, serial), Refused(s.userName, 68, serial));
}

int CLocalInterface::StartTranscodersSearch(CLocalSession& s) {
    return Guarded(
        s, 216, [](IClientOperations& ops) { return ops.StartTranscodersSearch(); },
        [](IJournal&) {}, [](IJournal&, const std::string&) {});
}

int CLocalInterface::StopTranscodersSearch(CLocalSession& s) {
    return Guarded(
        s, 217, [](IClientOperations& ops) { return ops.StopTranscodersSearch(); },
        [](IJournal&) {}, [](IJournal&, const std::string&) {});
}

bool CLocalInterface::GetTranscodersSearchStatus() {
    IClientOperations* ops = m_clients.Operations();
    return ops != nullptr && ops->GetTranscodersSearchStatus();
}

int CLocalInterface::GetAonForm(uint32_t serial, uint32_t& level, uint32_t& form) {
    IClientOperations* ops = m_clients.Operations();
    return ops != nullptr && ops->GetAonForm(serial, level, form) ? 1 : 0;
}

int CLocalInterface::SetAonForm(CLocalSession& s, uint32_t serial, uint32_t level,
                                uint32_t form) {
    return Guarded(
        s, 221, [&](IClientOperations& ops) { return ops.SetAonForm(serial, level, form); },
        Said(s.userName, 69, serial), Refused(s.userName, 70, serial));
}

int CLocalInterface::AddConfigPort(CLocalSession& s, uint16_t port) {
    return Guarded(
        s, 222, [&](IClientOperations& ops) { return ops.AddConfigPort(port); },
        Said(s.userName, 71, unsigned{port}), Refused(s.userName, 72, unsigned{port}));
}

int CLocalInterface::DelConfigPort(CLocalSession& s, uint16_t port) {
    return Guarded(
        s, 223, [&](IClientOperations& ops) { return ops.DelConfigPort(port); },
        Said(s.userName, 73, unsigned{port}), Refused(s.userName, 74, unsigned{port}));
}

uint32_t CLocalInterface::GetCountConfigPorts() {
    IClientOperations* ops = m_clients.Operations();
    return ops != nullptr ? ops->GetCountConfigPorts() : 0;
}

int CLocalInterface::GetConfigPort(uint32_t index, uint16_t& port) {
    IClientOperations* ops = m_clients.Operations();
    return ops != nullptr && ops->GetConfigPort(index, port) ? 1 : 0;
}

int CLocalInterface::AddStaticAddress(CLocalSession& s, uint32_t ip, uint16_t port) {
    const std::string address = AddressText(ip, port);
    return Guarded(
        s, 226, [&](IClientOperations& ops) { return ops.AddStaticAddress(ip, port); },
        Said(s.userName, 75, address), Refused(s.userName, 76, address));
}

int CLocalInterface::DelStaticAddress(CLocalSession& s, uint32_t ip, uint16_t port) {
    const std::string address = AddressText(ip, port);
    return Guarded(
        s, 227, [&](IClientOperations& ops) { return ops.DelStaticAddress(ip, port); },
        Said(s.userName, 77, address), Refused(s.userName, 78, address));
}

uint32_t CLocalInterface::GetCountStaticAddress() {
    IClientOperations* ops = m_clients.Operations();
    return ops != nullptr ? ops->GetCountStaticAddress() : 0;
}

int CLocalInterface::GetStaticAddress(uint32_t index, uint32_t& ip, uint16_t& port) {
    IClientOperations* ops = m_clients.Operations();
    return ops != nullptr && ops->GetStaticAddress(index, ip, port) ? 1 : 0;
}

int CLocalInterface::RemoveNetDevice(CLocalSession& s, uint32_t serial) {
    uint32_t position = 0;
    return Guarded(
        s, 231, [&](IClientOperations& ops) { return ops.RemoveNetDevice(serial, position); },
        Said(s.userName, 81, serial), Refused(s.userName, 82, serial));
}

int CLocalInterface::ReposNetDevice(CLocalSession& s, uint32_t position, uint32_t newPosition) {
    uint32_t serial = 0;
    return Guarded(
        s, 232,
        [&](IClientOperations& ops) { return ops.ReposNetDevice(position, newPosition, serial); },
        [&](IJournal& j) {
            j.FormatJournal(kJournalInfo, Msg{83}, s.userName, serial, position, newPosition);
        },
        Refused(s.userName, 84, position, newPosition));
}

uint32_t CLocalInterface::GetCountNetDevice() {
    IClientOperations* ops = m_clients.Operations();
    return ops != nullptr ? ops->GetCountNetDevice() : 0;
}

int CLocalInterface::GetNet2BufferMode(int device, uint32_t& mode) {
    IClientOperations* ops = m_clients.Operations();
    return ops != nullptr && ops->GetNet2BufferMode(device, mode) ? 1 : 0;
}

int CLocalInterface::SetNet2BufferMode(CLocalSession& s, int device, uint32_t mode) {
    return Guarded(
        s, 239, [&](IClientOperations& ops) { return ops.SetNet2BufferMode(device, mode); },
        Said(s.userName, 415, One(device)), Refused(s.userName, 416, One(device)));
}

}  // namespace zorv

// The local interface: what a control program on the server machine asks of
// the server, with the same operations and rights as the network commands
// (IClientOperations, IClientData, the users database) plus local listening.
// The bus adapter (CLocalBus) publishes it on D-Bus; this part knows nothing
// of the bus.
//
// Every client object has its own CLocalSession: it starts unauthorized,
// Authorization sets or clears its rights. Change methods answer 1 done,
// 0 failed, −1 refused (not authorized, no function bit or no right on the
// channels), journal the local user's success or refusal text, and the
// server pushes the changed channels to network clients as for the network
// commands. Reads need no authorization. Channels count from 0 within a
// device, devices are table indexes.
//
// Threads: the methods may be called from any thread; a session is used by
// one call at a time (the bus adapter serialises the calls of a client).
// Everything this class holds is constant after construction.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "access/ClientProtocol.h"
#include "access/LocalServices.h"
#include "access/UserRights.h"
#include "channels/ChannelTypes.h"

namespace zorv {

class CClientServer;
class IJournal;

// The state of one client object of the local interface.
struct CLocalSession {
    std::string userName;  // deciphered, at most 20 bytes; empty until a login succeeds
    bool authorized = false;
    CUserRights rights;
    // Who calls, for the login guard's delays and journal bursts: the local
    // account ("local uid 1000"), set by the bus adapter.
    std::string peer = "local";
};

class ILocalInterface {
public:
    virtual ~ILocalInterface() = default;

    // Reads.
    virtual void GetStateDvr(tagStateProgramm& out) = 0;
    virtual void GetDvrConfig(tagDvrConfig& out) = 0;
    virtual void GetServiceParam(ServiceParametrs& out) = 0;
    virtual int GetDeviceConfig(int device, DeviceConfigReply& out) = 0;
    virtual int GetChanelParam(int device, int channel, tagChanelParam& out) = 0;
    virtual int GetDeviceChannelState(int device, tagCHANELS_STATE& out) = 0;
    virtual int GetGainAdc(int device, int channel, int32_t& gain) = 0;
    virtual int GetTlfParam(int device, int channel, LineParams& out) = 0;
    virtual int GetServiceTlfParam(int device, std::span<uint8_t, kServiceTlfParamSize> out) = 0;
    virtual int GetAonFlags(int device, int channel, uint32_t& flags) = 0;
    virtual int GetPolarityCheckTimeOut(int device, int channel, uint32_t& seconds) = 0;
    virtual int GetChannelMute(int device, int channel, int32_t& muted) = 0;
    virtual std::vector<ClientAtr> GetServerUsers() = 0;

    // The local login: user (name enciphered as in the network login).
    // Returns whether local access is granted; account gets the user's
    // record with an empty password field (zero when refused). A refused
    // login leaves the session without a user name. While the session's
    // account must wait after refused logins (the login guard's delay), an
    // attempt is refused at once without checking the password.
    virtual bool Authorization(CLocalSession& session, const tagUserID& user,
                               tagUserAccountRecord& account) = 0;

    // Changes.
    virtual int SetChannelSampleRate(CLocalSession& s, int device, int first, int last,
                                     uint32_t rate) = 0;
    virtual int SetChannelEnable(CLocalSession& s, int device, int first, int last,
                                 int32_t enable) = 0;
    virtual int SetChannelActivate(CLocalSession& s, int device, int first, int last,
                                   uint32_t mode) = 0;
    virtual int SetChannelCompress(CLocalSession& s, int device, int first, int last,
                                   uint32_t compress) = 0;
    virtual int SetChannelTOn(CLocalSession& s, int device, int first, int last,
                              uint32_t seconds) = 0;
    virtual int SetChannelTOff(CLocalSession& s, int device, int first, int last,
                               uint32_t seconds) = 0;
    virtual int SetChannelTreshold(CLocalSession& s, int device, int first, int last,
                                   uint32_t threshold) = 0;
    virtual int SetStereoChannel(CLocalSession& s, int device, int master, int slave) = 0;
    virtual int UndoStereoChannel(CLocalSession& s, int device, int master, int slave) = 0;
    virtual int ManualActivateChannel(CLocalSession& s, int device, int first, int last,
                                      int32_t on) = 0;
    // SetChannelListen and the level-control setters: allowed, nothing changes.
    virtual int AcceptIgnored(CLocalSession& s, uint8_t twinCode, int device, int first,
                              int last) = 0;
    virtual int ShutDown(CLocalSession& s) = 0;
    virtual int SetChannelDefaultParam(CLocalSession& s, int device, int first, int last) = 0;
    virtual int SetGainAdc(CLocalSession& s, int device, int channel, int32_t gain) = 0;
    virtual int DetachUser(CLocalSession& s, const ClientAtr& user) = 0;
    virtual int SetTlfParam(CLocalSession& s, int device, int first, int last,
                            const LineParams& params) = 0;
    virtual int SetChannelSourceSignal(CLocalSession& s, int device, int first, int last,
                                       uint32_t value) = 0;
    virtual int SetChannelKeyEnable(CLocalSession& s, int device, int first, int last,
                                    uint32_t value) = 0;
    virtual int AddAlias(CLocalSession& s, int device, int channel, const std::string& alias) = 0;
    virtual int SetAonFlags(CLocalSession& s, int device, int channel, uint32_t flags) = 0;
    virtual int SetPolarity(CLocalSession& s, int device, int channel, int32_t mode) = 0;
    virtual int SetPolarityCheckTimeOut(CLocalSession& s, int device, int channel,
                                        uint32_t seconds) = 0;
    virtual int SetChannelArchivate(CLocalSession& s, int device, int channel,
                                    uint32_t value) = 0;
    virtual int SetChannelMute(CLocalSession& s, int device, int channel, int32_t on) = 0;

    // Local listening: 0 started or stopped, 2 unavailable, 3 refused,
    // 4 out of memory (listenChannel, lineMonitorChannel).
    virtual int ListenChannel(CLocalSession& s, int kind, int device, int channel, uint16_t port,
                              bool enabled) = 0;

    // The record database gateway: no session, no rights.
    virtual bool AddDataBaseRecord(const tagDB_Record& record) = 0;

    // Storage.
    virtual int SetFileSizes(CLocalSession& s, uint32_t minSeconds, uint32_t maxSeconds) = 0;
    virtual int SetDelSize(CLocalSession& s, uint32_t megabytes) = 0;
    // Record directory index (0 or 1); an absolute path (the storage right).
    virtual int SetPath(CLocalSession& s, int index, const std::string& path) = 0;
    virtual int SetQuota(CLocalSession& s, uint32_t quota1Mb, uint32_t quota2Mb) = 0;
    virtual void GetDeleteFilesAtDateConfig(int32_t& enable, uint32_t& days) = 0;
    virtual int SetDeleteFilesAtDateConfig(CLocalSession& s, int32_t enable, uint32_t days) = 0;

    // Channel reads of the line signalling.
    virtual int GetChannelSourceSignal(int device, int channel, uint32_t& value) = 0;
    virtual int GetChannelKeyEnable(int device, int channel, uint32_t& value) = 0;
    virtual int GetPolarity(int device, int channel, uint32_t& mode) = 0;

    // Network transcoders (serial numbers; addresses IPv4 in network order).
    virtual uint32_t GetFoundTranscodersCount() = 0;
    virtual int StartTranscoder(CLocalSession& s, uint32_t serial) = 0;
    virtual int StopTranscoder(CLocalSession& s, uint32_t serial) = 0;
    virtual int StartTranscodersSearch(CLocalSession& s) = 0;
    virtual int StopTranscodersSearch(CLocalSession& s) = 0;
    virtual bool GetTranscodersSearchStatus() = 0;
    virtual int GetAonForm(uint32_t serial, uint32_t& level, uint32_t& form) = 0;
    virtual int SetAonForm(CLocalSession& s, uint32_t serial, uint32_t level, uint32_t form) = 0;
    virtual int AddConfigPort(CLocalSession& s, uint16_t port) = 0;
    virtual int DelConfigPort(CLocalSession& s, uint16_t port) = 0;
    virtual uint32_t GetCountConfigPorts() = 0;
    virtual int GetConfigPort(uint32_t index, uint16_t& port) = 0;
    virtual int AddStaticAddress(CLocalSession& s, uint32_t ip, uint16_t port) = 0;
    virtual int DelStaticAddress(CLocalSession& s, uint32_t ip, uint16_t port) = 0;
    virtual uint32_t GetCountStaticAddress() = 0;
    virtual int GetStaticAddress(uint32_t index, uint32_t& ip, uint16_t& port) = 0;
    virtual int RemoveNetDevice(CLocalSession& s, uint32_t serial) = 0;
    virtual int ReposNetDevice(CLocalSession& s, uint32_t position, uint32_t newPosition) = 0;
    virtual uint32_t GetCountNetDevice() = 0;
    // The extra buffering of a NET2 transcoder device (0 off, 1 on).
    virtual int GetNet2BufferMode(int device, uint32_t& mode) = 0;
    virtual int SetNet2BufferMode(CLocalSession& s, int device, uint32_t mode) = 0;

};

class CLocalInterface final : public ILocalInterface {
public:
    // intake may be null (then addDataBaseRecord does nothing).
    CLocalInterface(CClientServer& clients, ILocalListenControl& listening,
                    IRecordIntake* intake);

    void GetStateDvr(tagStateProgramm& out) override;
    void GetDvrConfig(tagDvrConfig& out) override;
    void GetServiceParam(ServiceParametrs& out) override;
    int GetDeviceConfig(int device, DeviceConfigReply& out) override;
    int GetChanelParam(int device, int channel, tagChanelParam& out) override;
    int GetDeviceChannelState(int device, tagCHANELS_STATE& out) override;
    int GetGainAdc(int device, int channel, int32_t& gain) override;
    int GetTlfParam(int device, int channel, LineParams& out) override;
    int GetServiceTlfParam(int device, std::span<uint8_t, kServiceTlfParamSize> out) override;
    int GetAonFlags(int device, int channel, uint32_t& flags) override;
    int GetPolarityCheckTimeOut(int device, int channel, uint32_t& seconds) override;
    int GetChannelMute(int device, int channel, int32_t& muted) override;
    std::vector<ClientAtr> GetServerUsers() override;

    bool Authorization(CLocalSession& session, const tagUserID& user,
                       tagUserAccountRecord& account) override;

    int SetChannelSampleRate(CLocalSession& s, int device, int first, int last,
                             uint32_t rate) override;
    int SetChannelEnable(CLocalSession& s, int device, int first, int last,
                         int32_t enable) override;
    int SetChannelActivate(CLocalSession& s, int device, int first, int last,
                           uint32_t mode) override;
    int SetChannelCompress(CLocalSession& s, int device, int first, int last,
                           uint32_t compress) override;
    int SetChannelTOn(CLocalSession& s, int device, int first, int last, uint32_t seconds) override;
    int SetChannelTOff(CLocalSession& s, int device, int first, int last,
                       uint32_t seconds) override;
    int SetChannelTreshold(CLocalSession& s, int device, int first, int last,
                           uint32_t threshold) override;
    int SetStereoChannel(CLocalSession& s, int device, int master, int slave) override;
    int UndoStereoChannel(CLocalSession& s, int device, int master, int slave) override;
    int ManualActivateChannel(CLocalSession& s, int device, int first, int last,
                              int32_t on) override;
    int AcceptIgnored(CLocalSession& s, uint8_t twinCode, int device, int first,
                      int last) override;
    int ShutDown(CLocalSession& s) override;
    int SetChannelDefaultParam(CLocalSession& s, int device, int first, int last) override;
    int SetGainAdc(CLocalSession& s, int device, int channel, int32_t gain) override;
    int DetachUser(CLocalSession& s, const ClientAtr& user) override;
    int SetTlfParam(CLocalSession& s, int device, int first, int last,
                    const LineParams& params) override;
    int SetChannelSourceSignal(CLocalSession& s, int device, int first, int last,
                               uint32_t value) override;
    int SetChannelKeyEnable(CLocalSession& s, int device, int first, int last,
                            uint32_t value) override;
    int AddAlias(CLocalSession& s, int device, int channel, const std::string& alias) override;
    int SetAonFlags(CLocalSession& s, int device, int channel, uint32_t flags) override;
    int SetPolarity(CLocalSession& s, int device, int channel, int32_t mode) override;
    int SetPolarityCheckTimeOut(CLocalSession& s, int device, int channel,
                                uint32_t seconds) override;
    int SetChannelArchivate(CLocalSession& s, int device, int channel, uint32_t value) override;
    int SetChannelMute(CLocalSession& s, int device, int channel, int32_t on) override;
    int ListenChannel(CLocalSession& s, int kind, int device, int channel, uint16_t port,
                      bool enabled) override;
    bool AddDataBaseRecord(const tagDB_Record& record) override;

    // Storage.
    int SetFileSizes(CLocalSession& s, uint32_t minSeconds, uint32_t maxSeconds) override;
    int SetDelSize(CLocalSession& s, uint32_t megabytes) override;
    int SetPath(CLocalSession& s, int index, const std::string& path) override;
    int SetQuota(CLocalSession& s, uint32_t quota1Mb, uint32_t quota2Mb) override;
    void GetDeleteFilesAtDateConfig(int32_t& enable, uint32_t& days) override;
    int SetDeleteFilesAtDateConfig(CLocalSession& s, int32_t enable, uint32_t days) override;

    // Channel reads of the line signalling.
    int GetChannelSourceSignal(int device, int channel, uint32_t& value) override;
    int GetChannelKeyEnable(int device, int channel, uint32_t& value) override;
    int GetPolarity(int device, int channel, uint32_t& mode) override;

    // Network transcoders (serial numbers; addresses IPv4 in network order).
    uint32_t GetFoundTranscodersCount() override;
    int StartTranscoder(CLocalSession& s, uint32_t serial) override;
    int StopTranscoder(CLocalSession& s, uint32_t serial) override;
    int StartTranscodersSearch(CLocalSession& s) override;
    int StopTranscodersSearch(CLocalSession& s) override;
    bool GetTranscodersSearchStatus() override;
    int GetAonForm(uint32_t serial, uint32_t& level, uint32_t& form) override;
    int SetAonForm(CLocalSession& s, uint32_t serial, uint32_t level, uint32_t form) override;
    int AddConfigPort(CLocalSession& s, uint16_t port) override;
    int DelConfigPort(CLocalSession& s, uint16_t port) override;
    uint32_t GetCountConfigPorts() override;
    int GetConfigPort(uint32_t index, uint16_t& port) override;
    int AddStaticAddress(CLocalSession& s, uint32_t ip, uint16_t port) override;
    int DelStaticAddress(CLocalSession& s, uint32_t ip, uint16_t port) override;
    uint32_t GetCountStaticAddress() override;
    int GetStaticAddress(uint32_t index, uint32_t& ip, uint16_t& port) override;
    int RemoveNetDevice(CLocalSession& s, uint32_t serial) override;
    int ReposNetDevice(CLocalSession& s, uint32_t position, uint32_t newPosition) override;
    uint32_t GetCountNetDevice() override;
    int GetNet2BufferMode(int device, uint32_t& mode) override;
    int SetNet2BufferMode(CLocalSession& s, int device, uint32_t mode) override;

private:
    // Where a change may go: the device and channels exist (else 0 and
    // nothing journaled) and the session holds the twin command's rights.
    enum class Admission { kNoSuchChannel, kRefused, kAllowed };
    Admission Admit(const CLocalSession& s, uint8_t twinCode, int device, int first,
                    int last) const;
    // Global line numbers of channels first..last of a device (false: none).
    bool GlobalLines(int device, int& first, int& last) const;

    // The common path of the channel changes: admission, the refusal text
    // (refusal, with the name, first, last and the refusal word), the
    // operation and, when it answers 1, the success text.
    template <typename Operation, typename Success>
    int Change(CLocalSession& s, uint8_t twinCode, int device, int first, int last,
               int refusal, Operation operation, Success success);
    // The changes without channels (storage, transcoders): the twin's
    // rights, then the operation; refusal(journal, refusal word) and
    // success(journal) write the texts.
    template <typename Operation, typename Success, typename Refusal>
    int Guarded(CLocalSession& s, uint8_t twinCode, Operation operation, Success success,
                Refusal refusal);
    // The same for the changes of one channel whose texts name the device
    // and the channel.
    template <typename Operation>
    int DeviceChannelChange(CLocalSession& s, uint8_t twinCode, int device, int channel,
                            int success, int refusal, Operation operation);

    // Constant after construction
    CClientServer& m_clients;
    ILocalListenControl& m_listening;
    IRecordIntake* const m_intake;
};

}  // namespace zorv

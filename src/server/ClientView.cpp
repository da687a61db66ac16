#include "server/ClientView.h"

#include <sys/statvfs.h>

#include <cstring>

#include "devices/DspDevice.h"
#include "server/DeviceServer.h"

namespace zorv {
namespace {

template <typename Fn>
bool OnRecordDevice(const CDeviceServer& server, int index, Fn&& fn) {
    bool done = false;
    server.WithDevice(index, [&](IServerDevice& device) {
        if (auto* record = dynamic_cast<CRecordDevice*>(&device)) {
            done = fn(*record);
        }
    });
    return done;
}

void CopyText(char* field, std::size_t size, const std::string& text) {
    std::memset(field, 0, size);
    std::memcpy(field, text.data(), std::min(text.size(), size - 1));
}

}  // namespace

void CClientView::StateDvr(tagStateProgramm& out) {
    out = {};
    out.State = m_server->StateWord();
    out.DeviceCount = static_cast<uint32_t>(m_server->DeviceCount());
    out.ChannelCount = static_cast<uint32_t>(m_server->TotalChannels());
    out.CurrentPath = static_cast<uint32_t>(m_server->CurrentDirectory());
    for (int i = 0; i < kMaxDevices; ++i) {
        m_server->WithDevice(i, [&](IServerDevice& device) {
            out.DeviceError[i] = static_cast<uint32_t>(device.LastError());
        });
    }
}

void CClientView::DvrConfig(tagDvrConfig& out) {
    out = {};
    const ServerSettings& s = m_server->Settings();
    out.DeviceCount = static_cast<uint32_t>(m_server->DeviceCount());
    CopyText(out.Path[0], sizeof(out.Path[0]), m_server->RecordDirectory(0));
    CopyText(out.Path[1], sizeof(out.Path[1]), m_server->RecordDirectory(1));
    const StorageSettings storage = m_server->StorageInForce();
    out.Quota[0] = storage.quota1Mb;
    out.Quota[1] = storage.quota2Mb;
    out.DelSize = storage.delSizeMb;
    const CServerCore::FileSizes sizes = m_server->FileSizesInForce();
    out.MinSizeFile = sizes.minSeconds;
    out.MaxFileSize = sizes.maxSeconds;
    out.MaxSizeRecord = s.maxSizeRecord;
}

void CClientView::ServiceParam(ServiceParametrs& out) {
    out = {};
    out.State = m_server->StateWord();
    out.DeviceCount = static_cast<uint32_t>(m_server->DeviceCount());
    out.ChannelCount = static_cast<uint32_t>(m_server->TotalChannels());
}

bool CClientView::DeviceConfig(int device, DeviceConfigReply& out) {
    return OnRecordDevice(*m_server, device, [&](CRecordDevice& d) {
        out = {};
        out.BoardId = d.BoardId();
        out.ChannelCount = static_cast<uint32_t>(d.ChannelCount());
        out.DeviceNumber = d.GetDeviceNumber();
        out.FirstLine = static_cast<uint32_t>(d.FirstLine());
        out.LastError = static_cast<uint32_t>(d.LastError());
        return true;
    });
}

bool CClientView::ChannelParam(int device, int channel, tagChanelParam& out) {
    return OnRecordDevice(*m_server, device,
                          [&](CRecordDevice& d) { return d.GetChannelParam(channel, out); });
}

bool CClientView::ChannelStates(int device, tagCHANELS_STATE& out) {
    return OnRecordDevice(*m_server, device, [&](CRecordDevice& d) {
        d.GetChannelStates(out);
        return true;
    });
}

bool CClientView::GainAdc(int /*device*/, int /*channel*/, int32_t& /*gain*/) {
    return false;  // the converters' gain is not read back from the devices yet
}

void CClientView::PathSpace(PathSpaceReply& out) {
    out = {};
    for (int i = 0; i < 2; ++i) {
        struct statvfs fs {};
        if (::statvfs(m_server->RecordDirectory(i).c_str(), &fs) == 0) {
            out.Free[i] = static_cast<uint64_t>(fs.f_bavail) * fs.f_frsize;
            out.Total[i] = static_cast<uint64_t>(fs.f_blocks) * fs.f_frsize;
        }
    }
}

std::vector<IClientData::LineAlias> CClientView::Aliases() {
    std::vector<LineAlias> aliases;
    for (int i = 0; i < kMaxDevices; ++i) {
        OnRecordDevice(*m_server, i, [&](CRecordDevice& d) {
            for (int channel = 0; channel < d.ChannelCount(); ++channel) {
                std::string alias;
                if (d.GetAlias(channel, alias) != 0 && !alias.empty()) {
                    aliases.push_back({d.FirstLine() + channel, alias});
                }
            }
            return true;
        });
    }
    return aliases;
}

bool CClientView::TlfParam(int device, int channel, LineParams& out) {
    return OnRecordDevice(*m_server, device, [&](CRecordDevice& d) {
        auto* dsp = dynamic_cast<CDspDevice*>(&d);
        return dsp != nullptr && dsp->GetLineParams(channel, out);
    });
}

bool CClientView::ServiceTlfParam(int device, std::span<uint8_t, kServiceTlfParamSize> out) {
    static_assert(sizeof(tagZorvServiceTlfParam) == kServiceTlfParamSize);
    return OnRecordDevice(*m_server, device, [&](CRecordDevice& d) {
        auto* dsp = dynamic_cast<CDspDevice*>(&d);
        if (dsp == nullptr) {
            return false;
        }
        const tagZorvServiceTlfParam params = dsp->ServiceParams();
        std::memcpy(out.data(), &params, sizeof(params));
        return true;
    });
}

std::string CClientView::JournalPath() {
    return m_server->JournalPath();
}

}  // namespace zorv

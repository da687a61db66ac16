// The server object of the process: the top of the server class chain, which
// builds every component the server owns.
#pragma once

#include <atomic>
#include <memory>

#include "devices/BoardIo.h"
#include "server/DeviceServer.h"
#include "storage/DataBase.h"
#include "server/LocalListening.h"
#include "storage/FileCompressor.h"
#include "storage/RecordDbLibrary.h"
#include "storage/RecordRoots.h"
#include "storage/StorageKeeper.h"
#include "transcoders/TranscoderConfigurator.h"

namespace zorv {

// The client access layer (kept out of this header: its record helpers are
// not the transcoders' ones).
class CClientServer;
class CClientView;
class CServerOperations;
class CUsersDatabase;
class CLocalInterface;
class CLocalBus;
class CRecordIntake;

namespace detail {

// Forwards to the server once it exists: components are built before the
// server object they report to.
class CServerRelay final : public IServer {
public:
    void SetTarget(IServer* target) { m_target = target; }
    bool Post(int32_t code, int32_t a, int32_t b, int32_t c) override {
        IServer* target = m_target.load();
        return target != nullptr && target->Post(code, a, b, c);
    }
    void WriteJournal(int kind, std::string_view text) override {
        if (IServer* target = m_target.load()) {
            target->WriteJournal(kind, text);
        }
    }

private:
    std::atomic<IServer*> m_target{nullptr};
};

// What the device layer borrows, so that it exists before that layer.
struct RecordServerParts {
    std::unique_ptr<IBoardIoOpener> boards;
    std::unique_ptr<CServerRelay> relay;
    std::unique_ptr<CRecordDbLibrary> databaseLibrary;
    std::unique_ptr<IRecorderFactory> recordFiles;
    CDataBase* database = nullptr;                   // owned by the server's components
    CTranscoderConfigurator* transcoders = nullptr;  // owned by the server's components
    CFileCompressor* compressor = nullptr;           // owned by the server's components
    std::unique_ptr<CUsersDatabase> users;
    std::unique_ptr<CClientView> clientView;
    std::unique_ptr<CServerOperations> operations;
    CClientServer* clients = nullptr;  // the network module, owned by the server's components
};

}  // namespace detail

class CRecordServer final : private detail::RecordServerParts, public CDeviceServer {
public:
    // boards: where the boards are found (null: the system, which has none
    // on Linux; a simulated opener for demonstrations and tests).
    explicit CRecordServer(ServerEnvironment environment = {},
                           std::unique_ptr<IBoardIoOpener> boards = nullptr);
    ~CRecordServer() override;

    // The network transcoders' configurator (its operations are what clients
    // and the local interface reach).
    CTranscoderConfigurator& Transcoders() { return *transcoders; }
    // The client server (the network module): the one entry point for the
    // pushes of changed channel parameters and configuration.
    CClientServer& Clients() { return *clients; }
    CUsersDatabase& Users() { return *users; }
    // The local listening links (listenChannel, lineMonitorChannel).
    CLocalListening& LocalListening() { return *m_listening; }
    // The disk quotas and deletions (client commands set them here).
    CStorageKeeper& Storage() { return *m_storage; }
    // The compressor of finished records (its target formats).
    CFileCompressor& Compressor() { return *compressor; }

protected:
    // After the start sequence (the record database is open, the devices are
    // not recording yet): records cut short by an abrupt stop are recovered.
    void OnStart() override;
    void OnRecordDirectoryChanged() override;
    // Pushes the changed channel parameters to the logged-in clients.
    void OnChannelParamsChanged(int device, int first, int last) override;
    // The local interface leaves the bus before the rest stops.
    void OnStop() override;

private:
    class CStorageHost;

    // Every root records were written to, for the deletions and the scan.
    std::unique_ptr<CRecordRoots> m_roots;
    std::unique_ptr<CLocalListening> m_listening;
    std::unique_ptr<CStorageHost> m_storageHost;
    CStorageKeeper* m_storage = nullptr;  // owned by the server's components
    // The local interface on D-Bus ("[LocalInterface] Bus" of the settings).
    std::unique_ptr<CRecordIntake> m_intake;
    std::unique_ptr<CLocalInterface> m_local;
    std::unique_ptr<CLocalBus> m_bus;

    CRecordServer(ServerEnvironment environment, detail::RecordServerParts parts,
                  ServerComponents components);
};

// The simulated boards of the scenario file named by $ZORV_BOARD_SCENARIO, or
// null when the variable is not set. Throws std::runtime_error with a message
// naming the file when the scenario cannot be used.
std::unique_ptr<IBoardIoOpener> BoardsFromEnvironment();

}  // namespace zorv

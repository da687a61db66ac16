#include "server/RecordServer.h"

#include <unistd.h>

#include <cstdlib>
#include <stdexcept>

#include "access/ClientServer.h"
#include "access/LocalBus.h"
#include "access/LocalInterface.h"
#include "access/UsersDatabase.h"
#include "platform/IniFile.h"
#include "server/ClientView.h"
#include "server/RecordIntake.h"
#include "server/ServerOperations.h"
#include "simulation/SimulatedBoardOpener.h"
#include "storage/RecordFiles.h"
#include "storage/RecordRecovery.h"

namespace zorv {
namespace {

// The record files of every device write into the server's record database.
class CRecordFilesFactory final : public IRecorderFactory {
public:
    CRecordFilesFactory(IServer& server, IRecordQueue& database)
        : m_server(server), m_database(database) {}

    std::unique_ptr<IChannelRecorder> Create(CRecordDevice& device, int channelCount) override {
        return std::make_unique<CRecordFiles>(device, m_server, &m_database, *m_clock,
                                              channelCount);
    }
    void SetClock(IClock& clock) { m_clock = &clock; }

private:
    IServer& m_server;
    IRecordQueue& m_database;
    IClock* m_clock = &SystemClock();
};

// $ZORV_NETWORK_BIND (tests): the client server and the announcement
// responder listen on that IPv4 address only, on free ports.
ClientServerOptions NetworkOptionsFromEnvironment() {
    ClientServerOptions options;
    const char* bind = std::getenv("ZORV_NETWORK_BIND");
    if (bind != nullptr && *bind != '\0') {
        options.bindAddress = bind;
        options.anyPort = true;
    }
    return options;
}

// Where local programs put the sockets of local listening: the service's
// runtime directory ($RUNTIME_DIRECTORY, its first entry), else the work
// directory.
std::string RunDirectory(const std::string& workDir) {
    const char* runtime = std::getenv("RUNTIME_DIRECTORY");
    if (runtime != nullptr && *runtime != '\0') {
        const std::string all = runtime;
        return all.substr(0, all.find(':'));
    }
    return workDir;
}

}  // namespace

// What the storage keeper reaches of the server: the record directories, the
// switch between them and the mail of its events.
class CRecordServer::CStorageHost final : public IStorageHost {
public:
    explicit CStorageHost(CRecordServer& server) : m_server(server) {}
    std::string RecordDirectory(int index) const override {
        return m_server.RecordDirectory(index);
    }
    int CurrentDirectory() const override { return m_server.CurrentDirectory(); }
    void SelectRecordDirectory(int index) override { m_server.SelectRecordDirectory(index); }
    IMailNotifier& Mail() override { return *m_server.Components().mail; }
    std::string JournalPath() const override { return m_server.JournalPath(); }

private:
    CRecordServer& m_server;
};

CRecordServer::CRecordServer(ServerEnvironment environment, std::unique_ptr<IBoardIoOpener> boards)
    : CRecordServer(
          std::move(environment),
          [&] {
              detail::RecordServerParts parts;
              parts.boards = std::move(boards);
              parts.relay = std::make_unique<detail::CServerRelay>();
              parts.databaseLibrary = std::make_unique<CRecordDbLibrary>();
              return parts;
          }(),
          ServerComponents{}) {}

CRecordServer::CRecordServer(ServerEnvironment environment, detail::RecordServerParts parts,
                             ServerComponents components)
    : detail::RecordServerParts([&] {
          auto database = std::make_unique<CDataBase>(*parts.relay, *parts.databaseLibrary);
          parts.database = database.get();
          components.database = std::move(database);
          // The formats file's path is known once the server knows its work
          // directory (below).
          static const CHiddenMark marks;
          auto compressor = std::make_unique<CFileCompressor>(
              *parts.relay, parts.database,
              environment.clock != nullptr ? *environment.clock : SystemClock(), std::string(),
              marks);
          parts.compressor = compressor.get();
          components.compressor = std::move(compressor);
          auto transcoders = std::make_unique<CTranscoderConfigurator>(*parts.relay);
          parts.transcoders = transcoders.get();
          components.transcoders = std::move(transcoders);
          auto files = std::make_unique<CRecordFilesFactory>(*parts.relay, *parts.database);
          if (environment.clock != nullptr) {
              files->SetClock(*environment.clock);
          }
          parts.recordFiles = std::move(files);
          parts.users = std::make_unique<CUsersDatabase>(*parts.relay);
          parts.clientView = std::make_unique<CClientView>();
          auto clients = std::make_unique<CClientServer>(
              *parts.relay, *parts.users, *parts.clientView,
              environment.clock != nullptr ? *environment.clock : SystemClock(),
              NetworkOptionsFromEnvironment());
          parts.operations = std::make_unique<CServerOperations>();
          clients->SetOperations(*parts.operations);
          parts.clients = clients.get();
          components.network = std::move(clients);
          return std::move(parts);
      }()),
      CDeviceServer(
          std::move(environment), std::move(components), detail::RecordServerParts::boards.get(),
          detail::RecordServerParts::recordFiles.get(), detail::RecordServerParts::transcoders) {
    relay->SetTarget(this);
    clientView->Attach(*this);
    operations->Attach(*this);
    clients->SetSettingsPath(SettingsPath());
    compressor->SetFormatFileName(
        CFormatTable::FilePath(WorkDir(), Names().Name(CProductNames::kFileBaseName)));
    compressor->SetPrefixes(kFileSuffix, kDirSuffix);
    compressor->SetStartHeld(true);  // released by OnStart, after the scan
    m_roots = std::make_unique<CRecordRoots>(WorkDir());
    m_listening = std::make_unique<CLocalListening>(*this, RunDirectory(WorkDir()));
    OnRecordDirectoryChanged();
    // The keeper needs the server itself (directories, devices, mail), so it
    // takes the place of the null one here, before any thread runs.
    m_storageHost = std::make_unique<CStorageHost>(*this);
    auto storage = std::make_unique<CStorageKeeper>(*this, *m_storageHost, *database,
                                                    SystemFreeSpace(), Clock(), SettingsPath());
    m_storage = storage.get();
    Components().storage = std::move(storage);
    m_intake = std::make_unique<CRecordIntake>(
        *database, *database, *this, [this] { return m_roots->All(); },
        [this] { return DeviceCount() > 0; });
    m_local = std::make_unique<CLocalInterface>(*clients, *m_listening, m_intake.get());
    m_bus = std::make_unique<CLocalBus>(*m_local, *this, Clock());
}

CRecordServer::~CRecordServer() {
    m_bus->Stop();
    m_listening->StopAll();
    Stop();
    relay->SetTarget(nullptr);
}

void CRecordServer::OnStart() {
    // The users file serves the client logins from the run on.
    if (!users->Initialise(WorkDir(), Names().Prefix())) {
        FormatJournal(kJournalError, "Users database %s cannot be opened",
                      WorkDir() + "/" + CUsersStore::FileName(Names().Prefix()));
    }
    // The record table is kept in a shared PostgreSQL database when the
    // settings name one; the rows are this server's by its name.
    const IniFile settings(SettingsPath());
    const std::string shared = settings.GetString("DataBase", "ConnectionString", "", 4096);
    if (!shared.empty()) {
        std::string owner = settings.GetString("Server", "Name", "", kPathMax);
        if (owner.empty()) {
            char host[256] = {};
            ::gethostname(host, sizeof(host) - 1);
            owner = host;
        }
        databaseLibrary->UseSharedDatabase(shared, owner);
    }
    CDeviceServer::OnStart();
    // The local interface: the system bus unless the settings name another
    // ("session", an address, or "none"); $ZORV_LOCAL_BUS changes the default
    // (the test suites set "none").
    const char* defaultBus = std::getenv("ZORV_LOCAL_BUS");
    m_bus->Start(settings.GetString(
        "LocalInterface", "Bus",
        defaultBus != nullptr && *defaultBus != '\0' ? defaultBus : "system", 4096));
    if (database == nullptr || database->Handle() == -1) {
        if (!shared.empty()) {
            FormatJournal(kJournalError, "Shared record database cannot be opened: %s",
                          databaseLibrary->SharedDatabaseError());
        }
    } else {
        static const CHiddenMark marks;
        CRecordRecovery recovery(*this, *database, *database, marks, kFileSuffix, kDirSuffix);
        recovery.Run(m_roots->All());
    }
    compressor->Release();
}

void CRecordServer::OnStop() {
    m_bus->Stop();
    CDeviceServer::OnStop();
}

void CRecordServer::OnChannelParamsChanged(int device, int first, int last) {
    clients->BroadcastChannelParams(device, first, last);
}

void CRecordServer::OnRecordDirectoryChanged() {
    // The database removes record files only under the record roots: every
    // root records were written to, also after a change of directory.
    if (m_roots == nullptr) {
        return;
    }
    const std::vector<std::string> roots = m_roots->Add({RecordDirectory(0), RecordDirectory(1)});
    if (database != nullptr) {
        database->SetRecordRoots(roots);
    }
}

std::unique_ptr<IBoardIoOpener> BoardsFromEnvironment() {
    const char* path = std::getenv("ZORV_BOARD_SCENARIO");
    if (path == nullptr || *path == '\0') {
        return nullptr;
    }
    try {
        return CSimulatedBoardOpener::FromScenarioFile(path);
    } catch (const std::exception& e) {
        throw std::runtime_error(std::string("board scenario ") + path + ": " + e.what());
    }
}

}  // namespace zorv

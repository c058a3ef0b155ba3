#include "service/DataServerBlock.h"

#include "dataserver/SocketServer.h"
#include "dataserver/ThreadPool.h"

namespace {

class CRunningDataServer : public CDataServer {
public:
    explicit CRunningDataServer(const DataServerSettings &settings)
        : m_pool(5, settings.minThreads, settings.maxThreads, 5, 5000, 100, 10000, 20, true, true)
    {
        m_pool.Start();
        m_pServer = std::make_unique<CSocketServer>(
            0, settings.listenPort, settings.maxPooledSockets, settings.maxPooledBuffers, 1024,
            m_pool, 65536, true, true, true, 0);
        m_pServer->Start();
        m_pServer->StartAcceptingConnections();
    }

    // The server goes first: its threads dispatch to the pool.
    ~CRunningDataServer() override { m_pServer.reset(); }

    void StartAcceptingConnections() override { m_pServer->StartAcceptingConnections(); }
    void StopAcceptingConnections() override { m_pServer->StopAcceptingConnections(); }

    void Shutdown() override
    {
        m_pool.AwaitShutdown(15000, true);
        // Connections whose close the pool never saw still hold messages of the server's.
        m_pool.ReleaseConnections();
        m_pServer->AwaitShutdown();
    }

private:
    CThreadPool m_pool;
    std::unique_ptr<CSocketServer> m_pServer;
};

}  // namespace

std::unique_ptr<CDataServer> StartDataServer(const DataServerSettings &settings)
{
    return std::make_unique<CRunningDataServer>(settings);
}

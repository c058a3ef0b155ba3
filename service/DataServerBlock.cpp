#include "service/DataServerBlock.h"

namespace {

// Stands in until the application's thread pool and socket server are built here: it starts
// nothing, so the service runs without serving clients.
class CNoDataServer : public CDataServer {
public:
    void StartAcceptingConnections() override {}
    void StopAcceptingConnections() override {}
    void Shutdown() override {}
};

}  // namespace

std::unique_ptr<CDataServer> StartDataServer(const DataServerSettings &settings)
{
    (void)settings;
    return std::make_unique<CNoDataServer>();
}

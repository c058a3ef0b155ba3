#include "service/WebBlock.h"

#include <memory>

#include "platform/win32.h"
#include "service/Log.h"

#ifdef PELMORA_WEB
#include "web/WebServer.h"

namespace {
std::unique_ptr<web::Server> Web;
}

void StartWebBlock(const char *szFNINI) { Web = web::Start(web::ReadSettings(szFNINI)); }

void StopWebBlock() { web::Stop(Web); }
#else
void StartWebBlock(const char *szFNINI)
{
    if (GetPrivateProfileIntA("http", "Port", 0, szFNINI) != 0)
        WriteLog("ERROR HTTP: this build of the program has no web face; [http] Port is ignored");
}

void StopWebBlock() {}
#endif

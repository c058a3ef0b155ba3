#include "dataserver/Records.h"

#include <cstring>

MeteoResponse MakeGreeting()
{
    MeteoResponse greeting;
    std::memset(&greeting, 0, sizeof greeting);
    greeting.nSize = LONG(METEO_RESPONSE_SIZE);
    greeting.nVersion = GREETING_VERSION;
    return greeting;
}

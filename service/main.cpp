// Program entry: the service object, the command line, and around them the station-data guard.
#include "acquisition/StationTable.h"
#include "service/KALMeteoService.h"

int main(int argc, char *argv[])
{
    Initialize(&MeteoDataGuard, METEODATA_GUARD_NAME);
    int nResult = 0;
    {
        CKALMeteoService serv;
        nResult = serv.ProcessCommandLine(argc, argv);
        Delete(&MeteoDataGuard);
    }
    return nResult;
}

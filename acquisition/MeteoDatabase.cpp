#include "acquisition/MeteoDatabase.h"

// The ODBC writer takes its place here; until then a connector writes no database rows.

CMeteoDatabase::CMeteoDatabase(DWORD nStationID, const char *pszFNINI)
    : m_nStationID(nStationID), m_szFNINI(pszFNINI)
{
}

CMeteoDatabase::~CMeteoDatabase() = default;

void CMeteoDatabase::SetUp() {}

void CMeteoDatabase::Call(const SYSTEMTIME &, const MeteoData &, const AverageSlot &) {}

void CMeteoDatabase::Disconnect() {}

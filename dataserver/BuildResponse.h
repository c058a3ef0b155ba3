// The rule that turns one request into one response, from the station table.
//
// Thread safety: called by any number of pool workers at once; the table is read only under
// the reader side of MeteoDataGuard, for the filling of one response.
#pragma once

#include "dataserver/Records.h"

// Builds the response to the 128 request bytes at `request`. False when the request gets no
// response (nSize is not 128, or nStationNumber is 0). Otherwise `response` holds the filled
// data part and a zero digest, ready to be sealed; its nStation is the station number, or
// -1 (station not configured), -2 (slot 12 or above) or 0 (empty window, or the guard could
// not be taken), with all data 0 in the last three cases. Writes one line to the log for a
// request that reaches the table.
bool BuildResponse(const BYTE request[QUERY_DATA_SIZE], MeteoResponse &response);

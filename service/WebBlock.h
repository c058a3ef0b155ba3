// The web face of the service run: started after the data server, stopped before it. Off unless
// [http] Port is set.
#pragma once

// szFNINI is the full path of Pelmora.ini. A port that cannot be had is logged; the run goes
// on without the web face.
void StartWebBlock(const char *szFNINI);

// Stops listening and waits for the requests being served.
void StopWebBlock();

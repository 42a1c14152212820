// Starting the server: its paths from the installation settings, the stop
// file, the three pipes and the process.
#pragma once

// 0 when the server runs; -1 after a reported failure (the handles made so
// far are closed; a stop file already made stays behind).
int ServerStart();

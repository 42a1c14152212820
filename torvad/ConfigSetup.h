#pragma once

// Resolves the bind host, the passive bind host, the protocol and the port.
// 0, or -1 after logging why.
int ConfigSetup();

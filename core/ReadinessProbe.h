// The readiness probes: the one a transport runs on a new connection, and the one an impact
// claim runs first. DLE EOT 2 asks for the offline cause, DLE EOT 4 for the roll paper sensor;
// each reply is judged by its last byte. Both talk to the printer only through the transport's
// WritePort and ReadPortPrv.
#pragma once

#include <cstdint>

struct Port;

// How the transport puts a request on the port's line (the result is not looked at).
using ProbeSend = void (*)(Port& port, const uint8_t* request, long length);

// 0 ready, 1 cover open (DLE EOT 4 is then not sent), 2 paper end, BRELON_ERROR_NOT_OPEN when
// a request got no reply in four reads 100 ms apart. pauseAfterSendMs is waited after each
// request before its first read.
long ReadinessProbe(Port& port, ProbeSend send, uint32_t pauseAfterSendMs);

// Impact printers, before a claim: a NUL (a write that takes none of it refuses the claim),
// then the offline cause and the paper sensor, each answered within seven reads of 100 ms.
// 1 when the printer is ready to be claimed, 0 otherwise.
long DotClaim(Port& port);

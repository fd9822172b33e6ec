// The readiness probe a transport runs on a new connection: DLE EOT 2 asks for the offline
// cause, DLE EOT 4 for the roll paper sensor; each reply is judged by its last byte.
#pragma once

#include <cstdint>

// How the transport puts a request on the line (the result is not looked at).
using ProbeSend = void (*)(const uint8_t* request, long length);

// 0 ready, 1 cover open (DLE EOT 4 is then not sent), 2 paper end, BRELON_ERROR_NOT_OPEN when
// a request got no reply in four reads 100 ms apart. pauseAfterSendMs is waited after each
// request before its first read.
long ReadinessProbe(ProbeSend send, uint32_t pauseAfterSendMs);

#pragma once

namespace kvhost {

// When the HTTP provider gives up on a server that does not answer or barely sends: the request
// then fails as a network error, which the library retries and a later run resumes from.
struct TransferLimits {
    // Connecting, TLS handshake included; libcurl alone would wait 300 s.
    long connectTimeoutSeconds = 30;
    // A transfer under this many bytes per second for `lowSpeedSeconds` is stalled: 60 KB a
    // minute is far below any working link, and far above a server that drips a byte a second.
    long lowSpeedBytesPerSecond = 1000;
    long lowSpeedSeconds = 60;
    // A POST (the library posts only tracking events) has this shorter window, for its
    // connection too: an event may wait to be sent again, an update must not wait for it.
    long postLowSpeedSeconds = 10;
};

}  // namespace kvhost

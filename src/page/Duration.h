#pragma once

#include <QString>

// Seconds as "H:MM:SS" with every part at least two digits ("00:00:00"); hours do not wrap; "--:--:--" when
// the value is negative (unknown).
QString formatDuration(qint64 seconds);

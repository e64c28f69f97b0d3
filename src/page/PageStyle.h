#pragma once

#include <QString>

// The style sheet of the tool page. It also carries the queue's drag highlight (the dropActive rule).
QString pageStyleSheet();

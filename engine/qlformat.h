#pragma once

#include <QString>

// A number with exactly one decimal, rounded as printf's "%.1f" rounds, with a full stop
// whatever the locale.
QString QLOneDecimal(double value);

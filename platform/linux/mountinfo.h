#pragma once

// The kernel's table of mounts (/proc/self/mountinfo), Linux only.

#include <QByteArray>
#include <QList>

namespace QLPlatform {

struct MountEntry
{
    QByteArray mountPoint;
    QByteArray fsType;
    quint64 device = 0; // st_dev of the files in it, from the major:minor field
};

// Parses the text of /proc/self/mountinfo. Mount points come back unescaped
// (the kernel writes space, tab, newline and backslash as \040, \011, \012, \134).
QList<MountEntry> parseMountInfo(const QByteArray &text);

} // namespace QLPlatform

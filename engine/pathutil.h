#pragma once

// File names as the file system gives them: bytes, not always UTF-8.

#include <QByteArrayView>
#include <QString>

// What follows the last "/" of path; all of path when it has none.
inline QByteArrayView qlLastPathComponent(QByteArrayView path)
{
    return path.sliced(path.lastIndexOf('/') + 1);
}

// The extension of a file name: what follows its last dot; none when the only dot leads
// the name (".profile").
inline QByteArrayView qlNameExtension(QByteArrayView name)
{
    const qsizetype dot = name.lastIndexOf('.');
    return dot <= 0 ? QByteArrayView() : name.sliced(dot + 1);
}

// An ASCII capital made small; every other byte, those of multi-byte characters included,
// left as it is.
constexpr char qlAsciiLower(char c)
{
    return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c;
}

// A name as shown to the user. Names that are not UTF-8 mostly come from old Windows
// archives in GBK/GB18030, so such a name is read as GB18030 when it is valid there, and
// otherwise with U+FFFD for each undecodable byte.
QString qlDisplayName(QByteArrayView name);

// Linux: the file-name index is plocate's, kept by the system's updatedb.

#include "qlplatform.h"

namespace QLPlatform {

FileNameIndex fileNameIndex()
{
    return {FileNameIndex::Language::Locate, QByteArrayLiteral("/usr/bin/plocate")};
}

} // namespace QLPlatform

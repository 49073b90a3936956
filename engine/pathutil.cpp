#include "pathutil.h"

#include <QStringDecoder>

QString qlDisplayName(QByteArrayView name)
{
    if (name.isValidUtf8())
        return QString::fromUtf8(name);
    QStringDecoder gb18030("GB18030", QStringConverter::Flag::Stateless);
    const QString text = gb18030.decode(name);
    return gb18030.isValid() && !gb18030.hasError() ? text : QString::fromUtf8(name);
}

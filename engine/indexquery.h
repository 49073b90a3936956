#pragma once

// How the search's question is put to the file-name index. Internal to the engine.

#include "qlmediaitem.h"
#include "qlplatform.h"

// One run of the index program: its arguments and the byte that ends each path it prints.
struct QLIndexRun
{
    QList<QByteArray> args;
    char separator = '\n';
};

// The runs that ask an index of the given language for names that end in one of
// extensions and contain the options' keyword. None when nothing can be asked.
QList<QLIndexRun> qlIndexRuns(QLPlatform::FileNameIndex::Language language, const QStringList &extensions,
                              const QLSearchOptions &options);

// String values of a file's version resource (the about box reads the program's own).
#pragma once

#include <QString>

#include "Platform.h"

class TVersionInfo {
public:
    TVersionInfo(plat::IPlatform &platform, const QString &fileName);

    const QString &FileName() const { return fileName_; }
    // A new file drops what was read from the old one.
    void SetFileName(const QString &fileName);

    // The value of that name in the resource's first language; empty when it is missing. The
    // resource is read at the first use; a file without one throws ConfiguratorError.
    QString ProductName() { return Value(QStringLiteral("ProductName")); }
    QString FileVersion() { return Value(QStringLiteral("FileVersion")); }
    QString Value(const QString &name);

    // "%.4x%.4x" of the first language and code page of the translation table; empty when the
    // resource has no table, and then every value reads as empty.
    QString LanguageKey();

private:
    void Load();

    plat::IPlatform &platform_;
    QString fileName_;
    bool loaded_ = false;
    plat::Bytes data_;
    QString key_;
};

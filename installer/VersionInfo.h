// String values of a file's version resource (the about box reads the program's own).
#pragma once

#include <string>

#include "Platform.h"
#include "Text.h"

class TVersionInfo {
public:
    TVersionInfo(plat::IPlatform &platform, const std::string &fileName);

    const std::string &FileName() const { return fileName_; }
    // A new file drops what was read from the old one.
    void SetFileName(const std::string &fileName);

    // The value of that name in the resource's first language; empty when it is missing. The
    // resource is read at the first use; a file without one throws ConfiguratorError.
    std::string ProductName() { return Value("ProductName"); }
    std::string FileVersion() { return Value("FileVersion"); }
    std::string Value(const std::string &name);

    // "%.4x%.4x" of the first language and code page of the translation table; empty when the
    // resource has no table, and then every value reads as empty.
    std::string LanguageKey();

private:
    void Load();

    plat::IPlatform &platform_;
    std::string fileName_;
    bool loaded_ = false;
    plat::Bytes data_;
    std::string key_;
};

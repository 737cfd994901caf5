// File storage of a tree: loading through the stream tokenizer, saving through a
// temporary file beside the target; and the expansion every file name goes through.
#include "core/UnitXmlDoc.h"

#include "core/UnitLocalUtils.h"
#include "core/UnitParser.h"

#include <cstdio>
#include <sys/stat.h>
#include <unistd.h>

std::string TXmlDoc::ExpandFileName(const std::string& FileName) { return UnitLocalUtils::LocalFileName(FileName); }

bool TXmlDoc::LoadFromFile(const std::string& FileName)
{
    try {
        const std::string name = ExpandFileName(FileName);
        struct stat st {};
        if (name.empty() || ::stat(name.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
            return false;
        TFileStream stream(name, TFileStream::TMode::ReadShared);
        TStreamParser parser;
        parser.SetData(stream);
        ReadXML(parser, false);
        return true;
    } catch (...) {
        return false;
    }
}

bool TXmlDoc::SaveToFile(const std::string& FileName) const
{
    std::string name;
    try {
        name = ExpandFileName(FileName);
    } catch (...) {
        return false;
    }
    if (name.empty())
        return false;
    const std::string temporary = name + ".~tmp";
    try {
        TFileStream stream(temporary, TFileStream::TMode::CreateExclusive);
        TStreamParser parser;
        parser.SetData(stream);
        WriteXML(parser);
        stream.Sync();
    } catch (...) {
        ::unlink(temporary.c_str());
        return false;
    }
    // The old file is replaced by one atomic rename, so it is never lost halfway. A target
    // that is read-only (or not a file) is not replaced; the new text stays in the
    // temporary file beside it.
    struct stat st {};
    if (::stat(name.c_str(), &st) == 0 &&
        (!S_ISREG(st.st_mode) || (st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0))
        return false;
    for (int attempt = 0; attempt < 1000; ++attempt)
        if (::rename(temporary.c_str(), name.c_str()) == 0)
            return true;
    return false;
}

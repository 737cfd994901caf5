// File storage of a tree: loading through the stream tokenizer, saving through a
// temporary file beside the target; and the expansion every file name goes through.
#include "core/UnitXmlDoc.h"

#include "core/UnitLocalUtils.h"
#include "core/UnitParser.h"
#include "platform/UnitPlatformFiles.h"

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
    // The one safe save of the system: a temporary file beside the target, synced, then one
    // rename. A target that is read-only (or not a file) is not replaced; the new text stays
    // in the temporary file beside it.
    return UnitPlatformFiles::SaveFileSafely(
        name,
        [this](int fd) {
            try {
                TFileStream stream(fd);
                TStreamParser parser;
                parser.SetData(stream);
                WriteXML(parser);
                return true;
            } catch (...) {
                return false;
            }
        },
        0666);
}

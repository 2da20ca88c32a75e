#include "image/ConvertCommand.h"

#include "HexFile2BinMemoryStream.h"
#include "image/CommandImage.h"
#include "runtime/FileIO.h"

void Convert(const std::string& hexName, const std::string& binName) {
    RefuseDevice(hexName);
    if (OpenKindOf(hexName) != TImageKind::Hex)
        throw ECommandError("Cannot convert file " + Quoted(hexName) +
                            ": an Intel HEX file must have the .hex extension");
    // Writing the image over its own source would lose the source.
    if (rt::SameFile(hexName, binName))
        throw ECommandError("Cannot convert file " + Quoted(hexName) + ": the output " + Quoted(binName) +
                            " is that same file");
    HexFileToStream(hexName)->SaveToFile(binName);
}

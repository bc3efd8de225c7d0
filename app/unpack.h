// Unpacking an archive into an editable project that rebuilds it byte for byte: graphic items
// as indexed PNG pictures cut by grab scripts, tables as the commands that compute them, the
// rest as files, labels and small helper archives that a link script puts together in order.
#pragma once

#include <string>

namespace kiv {

// Writes the project into folder: grab scripts (*.scp) at its top, NAME.lnk (NAME: the archive's
// file name up to its first '.'), pictures/, items/, helpers/ and build.sh. Says on standard
// output how each entry comes back. Returns 0 when the project rebuilds the archive, 1 when
// something of it cannot be reproduced or a file cannot be written (said on standard error), 2
// when the archive cannot be read. A folder that holds files is refused unless force.
int unpackArchive(const std::string& archivePath, const std::string& folder, bool force);

// Unpacks into a temporary folder, rebuilds with the kiv beside this program (or on the PATH)
// and compares: 0 identical, 1 a difference (the first one is said), 2 trouble.
int rebuildAndCompare(const std::string& archivePath);

}  // namespace kiv

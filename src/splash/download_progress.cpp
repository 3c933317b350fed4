#include "splash/download_progress.h"

#include "splash/status.h"

namespace zelk {

void ShowDownloadLine(const DownloadLine& line) {
    SetStatus(
        L"Mise à jour ...",
        FormatDownloadDetail(line.fileNumber, line.fileCount, line.doneBytes, line.totalBytes),
        DownloadFraction(line.doneBytes, line.totalBytes));
}

}  // namespace zelk

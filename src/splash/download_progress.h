#pragma once
// Shows the download progress line and bar in the splash status.

#include "splash/progress_text.h"

namespace zelk {

// "Téléchargement i/n — a / b Mo" under "Mise à jour ...", the bar from 8 % to 98 %.
void ShowDownloadLine(const DownloadLine& line);

}  // namespace zelk

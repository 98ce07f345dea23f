// Brisolen's layout. Darvello shows the same pictures over a background placed
// elsewhere, so it starts from this layout and moves only the background.
#ifndef MONTAGE_TEMPLATES_BRISOLEN_H
#define MONTAGE_TEMPLATES_BRISOLEN_H

#include "layouts/column_grid.h"

constexpr double kBrisolenBackPosX = 0.1472;
constexpr double kBrisolenBackPosY = 0.1518;
constexpr double kBrisolenBackScale = 1.31;
constexpr double kBrisolenColumnX[3] = {-0.3, 0.0, 0.3};
constexpr double kBrisolenRowY = -0.15;
constexpr double kBrisolenPictureScale = 0.3;

constexpr ColumnGridLayout kBrisolenLayout{
    kBrisolenBackPosX,  kBrisolenBackPosY,
    kBrisolenBackScale, {kBrisolenColumnX[0], kBrisolenColumnX[1], kBrisolenColumnX[2]},
    kBrisolenRowY,      kBrisolenPictureScale};

#endif  // MONTAGE_TEMPLATES_BRISOLEN_H

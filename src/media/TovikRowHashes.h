// Row hashes for the scroll search of compact tile updates.
//
// TRowHashes keeps the hashes of one picture's rows over one band of columns from one update to the
// next, so that only rows written since are hashed again. Its owner reports every write to the
// picture (Changed, Moved) or forgets all (Clear). Not thread-safe; one owner.
#pragma once

#include <cstdint>
#include <vector>

namespace tovik {

class TBitmap32;
struct TRect;

// Hash of the pixels of row AY of APic in columns ALeft .. ALeft + AWidth - 1. Equal hashes are only a
// guess that the pixels are equal.
std::uint64_t RowHash(const TBitmap32& APic, int AY, int ALeft, int AWidth);

class TRowHashes {
 public:
  // Hashes of rows ABox.Top .. ABox.Bottom() - 1 of APic over ABox's columns, one per row from the
  // returned pointer; rows not known are hashed now. Other columns, or another picture height, than
  // before forget every row first.
  const std::uint64_t* Rows(const TBitmap32& APic, const TRect& ABox);
  // The pixels of ARect were written.
  void Changed(const TRect& ARect);
  // Rows ADst.Top .. of ADst's columns took the pixels of rows ASrcTop .. of the same columns (the
  // rows were moved as by memmove).
  void Moved(const TRect& ADst, int ASrcTop);
  void Clear();
  // Rows ABox.Top .. of the picture now hold the pixels whose hashes over ABox's columns are AHashes
  // (one per row); nothing when those are not the kept columns.
  void Learn(const TRect& ABox, const std::uint64_t* AHashes);

  // The columns of the rows kept (width 0: none).
  int Left() const { return FLeft; }
  int Width() const { return FWidth; }

 private:
  int FLeft = 0;
  int FWidth = 0;
  std::vector<std::uint64_t> FHash;  // per row of the picture
  std::vector<std::uint8_t> FKnown;  // per row: FHash holds its hash
};

}  // namespace tovik

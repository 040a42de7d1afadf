#include "capture/NuiSensor.h"

namespace kestrova {

HRESULT NuiFrameTexture::LockRect(unsigned level, NuiLockedRect* locked, void*, std::uint32_t) {
  if (level != 0 || locked == nullptr) return E_INVALIDARG;
  locked->Pitch = format.rowStride * 2;
  locked->size = static_cast<int>(pixels.size() * sizeof(std::uint16_t));
  locked->pBits = reinterpret_cast<std::uint8_t*>(pixels.data());
  return S_OK;
}

}  // namespace kestrova

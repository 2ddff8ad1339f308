// The two buffer effects, an 80 Hz-capable parametric equalizer band and a
// gargle (amplitude modulation), with the identifiers and parameter records
// the player asks for them by.
#pragma once

#include <cstdint>
#include <mutex>

#include "sound_buffer.h"

// Effect classes and their parameter interfaces.
constexpr GUID GUID_DSFX_STANDARD_PARAMEQ = {
    0x120CED89, 0x3BF4, 0x4173, {0xA1, 0x32, 0x3C, 0xB4, 0x06, 0xCF, 0x32, 0x31}};
constexpr GUID IID_IDirectSoundFXParamEq = {
    0xC03CA9FE, 0xFE90, 0x4204, {0x80, 0x78, 0x82, 0x33, 0x4C, 0xD1, 0x77, 0xDA}};
constexpr GUID GUID_DSFX_STANDARD_GARGLE = {
    0xDAFD8210, 0x5711, 0x4B91, {0x9F, 0xE3, 0xF7, 0x5B, 0x7A, 0xE2, 0x79, 0xBF}};
constexpr GUID IID_IDirectSoundFXGargle = {
    0xD616F352, 0xD622, 0x11CE, {0xAA, 0xC5, 0x00, 0x20, 0xAF, 0x0B, 0x99, 0xA3}};

constexpr HRESULT REGDB_E_CLASSNOTREG = static_cast<HRESULT>(0x80040154u);
constexpr HRESULT DSERR_CONTROLUNAVAIL = static_cast<HRESULT>(0x8878001Eu);
constexpr HRESULT DSERR_OBJECTNOTFOUND = static_cast<HRESULT>(0x88781161u);

struct DSFXParamEq {
  float fCenter;     // Hz, 80..16,000
  float fBandwidth;  // semitones, 1..36
  float fGain;       // dB, -15..+15
};

struct DSFXGargle {
  std::uint32_t dwRateHz;     // 1..1,000
  std::uint32_t dwWaveShape;  // 0 triangle, 1 square
};

class IDirectSoundFXParamEq {
 public:
  virtual ~IDirectSoundFXParamEq() = default;
  virtual HRESULT SetAllParameters(const DSFXParamEq* params) = 0;
  virtual HRESULT GetAllParameters(DSFXParamEq* params) = 0;
};

class IDirectSoundFXGargle {
 public:
  virtual ~IDirectSoundFXGargle() = default;
  virtual HRESULT SetAllParameters(const DSFXGargle* params) = 0;
  virtual HRESULT GetAllParameters(DSFXGargle* params) = 0;
};

// Processes interleaved stereo float frames in place.
class StereoEffect {
 public:
  virtual ~StereoEffect() = default;
  virtual void Process(float* frames, std::uint32_t count) = 0;
};

// One peaking biquad band. Parameter changes glide over about 20 ms so they
// are heard without clicks.
class ParamEqEffect : public StereoEffect, public IDirectSoundFXParamEq {
 public:
  explicit ParamEqEffect(std::mutex& guard);
  HRESULT SetAllParameters(const DSFXParamEq* params) override;
  HRESULT GetAllParameters(DSFXParamEq* params) override;
  void Process(float* frames, std::uint32_t count) override;
  // The largest value the filter carries from one frame to the next: 0
  // once silence has settled it.
  double StateMagnitude() const;

 private:
  void UpdateCoefficients();
  std::mutex& guard_;  // the buffer's effect lock
  DSFXParamEq target_{8000.0f, 12.0f, 0.0f};
  double center_ = 8000.0, bandwidth_ = 12.0, gain_ = 0.0;
  double b0_ = 1, b1_ = 0, b2_ = 0, a1_ = 0, a2_ = 0;
  double z1_[2] = {0, 0}, z2_[2] = {0, 0};
  std::uint32_t untilUpdate_ = 0;  // frames left before the next glide step
};

// Multiplies the signal by a triangle or square wave from 0 to full scale.
class GargleEffect : public StereoEffect, public IDirectSoundFXGargle {
 public:
  explicit GargleEffect(std::mutex& guard);
  HRESULT SetAllParameters(const DSFXGargle* params) override;
  HRESULT GetAllParameters(DSFXGargle* params) override;
  void Process(float* frames, std::uint32_t count) override;

 private:
  std::mutex& guard_;
  DSFXGargle params_{20, 0};
  double phase_ = 0.0;  // 0..1 through one period
  bool started_ = false;
  double level_ = 1.0;  // smoothed modulation level
};

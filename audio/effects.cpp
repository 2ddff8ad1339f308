#include "effects.h"

#include <cmath>

namespace {
constexpr double kRate = 44100.0;
constexpr double kPi = 3.14159265358979323846;
constexpr std::uint32_t kGlideFrames = 32;  // coefficients are updated this often
constexpr double kGlide = 0.03;             // share of the way to the target per update (~20 ms)

// Parameters go in and out under the buffer's effect lock, which the device
// thread holds while it processes; invalid ones are refused.
template <typename Params, typename Valid>
HRESULT StoreParameters(std::mutex& guard, Params& stored, const Params* p, Valid valid) {
  if (p == nullptr || !valid(*p)) return E_INVALIDARG;
  std::lock_guard<std::mutex> lock(guard);
  stored = *p;
  return S_OK;
}

template <typename Params>
HRESULT LoadParameters(std::mutex& guard, const Params& stored, Params* p) {
  if (p == nullptr) return E_INVALIDARG;
  std::lock_guard<std::mutex> lock(guard);
  *p = stored;
  return S_OK;
}
}  // namespace

ParamEqEffect::ParamEqEffect(std::mutex& guard) : guard_(guard) { UpdateCoefficients(); }

HRESULT ParamEqEffect::SetAllParameters(const DSFXParamEq* p) {
  return StoreParameters(guard_, target_, p, [](const DSFXParamEq& q) {
    return q.fCenter >= 80.0f && q.fCenter <= 16000.0f && q.fBandwidth >= 1.0f && q.fBandwidth <= 36.0f &&
           q.fGain >= -15.0f && q.fGain <= 15.0f;
  });
}

HRESULT ParamEqEffect::GetAllParameters(DSFXParamEq* p) { return LoadParameters(guard_, target_, p); }

// Peaking band: gain at the centre, bandwidth in octaves between the
// half-gain points.
void ParamEqEffect::UpdateCoefficients() {
  const double a = std::pow(10.0, gain_ / 40.0);
  const double w0 = 2.0 * kPi * center_ / kRate;
  const double octaves = bandwidth_ / 12.0;
  const double alpha = std::sin(w0) * std::sinh(std::log(2.0) / 2.0 * octaves * w0 / std::sin(w0));
  const double a0 = 1.0 + alpha / a;
  b0_ = (1.0 + alpha * a) / a0;
  b1_ = -2.0 * std::cos(w0) / a0;
  b2_ = (1.0 - alpha * a) / a0;
  a1_ = b1_;
  a2_ = (1.0 - alpha / a) / a0;
}

void ParamEqEffect::Process(float* frames, std::uint32_t count) {
  for (std::uint32_t done = 0; done < count;) {
    // Glide the parameters (centre and bandwidth on a log scale) one step
    // every kGlideFrames frames of the sound, counted across calls: the
    // device's pull size must not change how fast a change is heard. A flat
    // band's centre and width are not heard: they are taken at once, so a
    // gain set on it glides in at its own centre instead of sweeping there
    // from the last one (8 kHz on a fresh band).
    if (untilUpdate_ == 0) {
      if (gain_ == 0.0) {
        center_ = target_.fCenter;
        bandwidth_ = target_.fBandwidth;
      } else {
        center_ *= std::pow(target_.fCenter / center_, kGlide);
        bandwidth_ += (target_.fBandwidth - bandwidth_) * kGlide;
      }
      gain_ += (target_.fGain - gain_) * kGlide;
      if (std::fabs(gain_ - target_.fGain) < 1e-4) gain_ = target_.fGain;
      UpdateCoefficients();
      untilUpdate_ = kGlideFrames;
    }
    const std::uint32_t n = count - done < untilUpdate_ ? count - done : untilUpdate_;
    for (std::uint32_t f = done; f < done + n; ++f) {
      for (int ch = 0; ch < 2; ++ch) {
        const double x = frames[2 * f + ch];
        const double y = b0_ * x + z1_[ch];
        z1_[ch] = b1_ * x - a1_ * y + z2_[ch];
        z2_[ch] = b2_ * x - a2_ * y;
        frames[2 * f + ch] = static_cast<float>(y);
      }
    }
    done += n;
    untilUpdate_ -= n;
  }
}

double ParamEqEffect::StateMagnitude() const {
  double largest = 0;
  for (const double z : {z1_[0], z1_[1], z2_[0], z2_[1]}) largest = std::fmax(largest, std::fabs(z));
  return largest;
}

GargleEffect::GargleEffect(std::mutex& guard) : guard_(guard) {}

HRESULT GargleEffect::SetAllParameters(const DSFXGargle* p) {
  return StoreParameters(guard_, params_, p, [](const DSFXGargle& q) {
    return q.dwRateHz >= 1 && q.dwRateHz <= 1000 && q.dwWaveShape <= 1;
  });
}

HRESULT GargleEffect::GetAllParameters(DSFXGargle* p) { return LoadParameters(guard_, params_, p); }

void GargleEffect::Process(float* frames, std::uint32_t count) {
  const double step = params_.dwRateHz / kRate;
  if (!started_) {
    // Switched on, the wave starts at its full level, where it leaves the
    // sound as it is: the triangle at its peak, the square in its high half.
    phase_ = params_.dwWaveShape == 1 ? 0.0 : 0.5;
    started_ = true;
  }
  for (std::uint32_t f = 0; f < count; ++f) {
    double wave;
    if (params_.dwWaveShape == 1)
      wave = phase_ < 0.5 ? 1.0 : 0.0;
    else
      wave = phase_ < 0.5 ? 2.0 * phase_ : 2.0 - 2.0 * phase_;
    // A short slew keeps the square's edges and shape changes from clicking.
    level_ += (wave - level_) * 0.25;
    frames[2 * f] = static_cast<float>(frames[2 * f] * level_);
    frames[2 * f + 1] = static_cast<float>(frames[2 * f + 1] * level_);
    phase_ += step;
    if (phase_ >= 1.0) phase_ -= 1.0;
  }
}

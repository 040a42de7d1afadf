#include "core/CycleAssembler.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <thread>

namespace kestrova {

namespace {
using Clock = std::chrono::steady_clock;
constexpr double kSliceMs = 10;  // waits are cut into slices that look at the loop's flag
double Ms(std::chrono::milliseconds duration) { return static_cast<double>(duration.count()); }
}  // namespace

CycleAssembler::CycleAssembler(const Acquisitions& acquisitions, const AssemblerTiming& timing)
    : acquisitions_(acquisitions), timing_(timing), nextTick_(Clock::now() + timing.nominalPeriod) {
  for (CameraAcquisition* acquisition : acquisitions_)
    if (acquisition) acquisition->SetFrameEvent(&frameEvent_);
}

CycleAssembler::~CycleAssembler() {
  for (CameraAcquisition* acquisition : acquisitions_)
    if (acquisition) acquisition->SetFrameEvent(nullptr);
}

void CycleAssembler::SetCameras(const std::array<bool, kCameraCount>& cameras) {
  for (int slot = 0; slot < kCameraCount; ++slot) cameras_[slot] = cameras[slot] && acquisitions_[slot];
}

void CycleAssembler::DiscardStale() {
  for (CameraAcquisition* acquisition : acquisitions_)
    if (acquisition) acquisition->DiscardBuffered();
}

bool CycleAssembler::PacingOnly() const {
  return std::none_of(cameras_.begin(), cameras_.end(), [](bool on) { return on; });
}

std::array<bool, kCameraCount> CycleAssembler::Participants() const {
  if (!PacingOnly()) return cameras_;
  std::array<bool, kCameraCount> present{};
  for (int slot = 0; slot < kCameraCount; ++slot) present[slot] = acquisitions_[slot] != nullptr;
  return present;
}

bool CycleAssembler::Lockstep(const std::array<bool, kCameraCount>& participants) const {
  bool any = false;
  for (int slot = 0; slot < kCameraCount; ++slot) {
    if (!participants[slot]) continue;
    if (!acquisitions_[slot]->KeepsEveryFrame()) return false;
    any = true;
  }
  return any;
}

double CycleAssembler::HalfPeriod(const CameraAcquisition::State& state) const {
  const double period = state.periodKey > 0 ? state.periodKey : Ms(timing_.nominalPeriod);
  return period / 2;
}

CycleAssembler::Window CycleAssembler::WindowOf(const States& states, bool lockstep, const Moment& moment) const {
  const double half = lockstep ? 0.5 : HalfPeriod(states[moment.slot]);
  Window window{moment.key - half, moment.key + half};
  // Where the previous cycle's share of time ended, if that was later (the
  // moments came less than a period apart) or not much earlier (a moment a
  // little late): so no frame falls between two cycles' shares.
  if (haveMoment_) window.after = std::max(PreviousMoment() + half, moment.key - 3 * half);
  return window;
}

double CycleAssembler::BudgetMs(const CameraAcquisition::State& pacing) const {
  constexpr int kHeadroomFrames = 3;
  const double held = (pacing.capacity - kHeadroomFrames) * 2 * HalfPeriod(pacing);
  return std::min(Ms(timing_.latencyBudget), std::max(held, 0.0));
}

double CycleAssembler::PreviousMoment() const {
  const CameraAcquisition* pacing = acquisitions_[lastPacingSlot_];
  return pacing->KeepsEveryFrame() ? lastKey_ : pacing->MapStamp(lastPacingStamp_);
}

int CycleAssembler::NextFrameAfterMoment(int slot, const CameraAcquisition::State& state) const {
  if (!haveMoment_ || slot == lastPacingSlot_) return state.count > 0 ? 0 : -1;
  const double after = PreviousMoment() + HalfPeriod(state);
  for (int i = 0; i < state.count; ++i)
    if (state.frames[i].key > after) return i;
  return -1;
}

int CycleAssembler::PacingSlot(const std::array<bool, kCameraCount>& participants) const {
  int pacing = -1, first = -1;
  for (int slot = kCameraCount - 1; slot >= 0; --slot) {
    if (!participants[slot]) continue;
    first = slot;
    if (!lost_[slot]) pacing = slot;
  }
  return pacing >= 0 ? pacing : first;  // all lost: any of them may pace
}

bool CycleAssembler::Awaiting(const States& states, const std::array<bool, kCameraCount>& participants,
                              bool allLost, bool waitForLost,
                              bool (*hasWhatIsWanted)(int, const CycleAssembler&, const CameraAcquisition::State&),
                              double nowMs, double waitStartMs, double* wakeMs) const {
  double giveUp = -std::numeric_limits<double>::infinity();
  for (int slot = 0; slot < kCameraCount; ++slot) {
    if (!participants[slot]) continue;
    const bool lost = lost_[slot] && !allLost;
    if (lost && !waitForLost) continue;
    const CameraAcquisition::State& state = states[slot];
    if (hasWhatIsWanted(slot, *this, state) || state.ended || state.deviceGone) continue;
    giveUp = std::max(giveUp, waitStartMs + Ms(lost ? timing_.latencyBudget : timing_.frameWait));
  }
  if (nowMs >= giveUp) return false;
  *wakeMs = std::min(*wakeMs, giveUp);
  return true;
}

CycleAssembler::Moment CycleAssembler::EarliestNextFrame(const States& states,
                                                         const std::array<bool, kCameraCount>& eligible) const {
  Moment best;
  for (int slot = 0; slot < kCameraCount; ++slot) {
    if (!eligible[slot]) continue;
    const int index = NextFrameAfterMoment(slot, states[slot]);
    if (index < 0) continue;
    const BufferedFrame& frame = states[slot].frames[index];
    if (!best.found || frame.key < best.key) best = {true, slot, frame.serial, frame.key};
  }
  return best;
}

int CycleAssembler::FirstPacingFrame(const States& states, const std::array<bool, kCameraCount>& participants,
                                     bool allLost, int pacing) const {
  // The latest of the cameras' first frames: the first moment all of them have.
  double start = -std::numeric_limits<double>::infinity();
  for (int slot = 0; slot < kCameraCount; ++slot)
    if (participants[slot] && (allLost || !lost_[slot]) && states[slot].count > 0)
      start = std::max(start, states[slot].frames[0].key);
  const CameraAcquisition::State& state = states[pacing];
  for (int i = 0; i < state.count; ++i)
    if (state.frames[i].key >= start - HalfPeriod(state)) return i;
  return -1;
}

CycleAssembler::Moment CycleAssembler::FindMoment(const States& states,
                                                  const std::array<bool, kCameraCount>& participants,
                                                  bool lockstep, double nowMs, double waitStartMs,
                                                  double* wakeMs) const {
  const int pacing = PacingSlot(participants);
  const bool allLost = lost_[pacing];
  if (lockstep) {
    // Every camera that may still deliver shows its next frame first, so
    // that the lowest frame number sets the moment and none is skipped.
    auto hasNext = [](int slot, const CycleAssembler& self, const CameraAcquisition::State& state) {
      return self.NextFrameAfterMoment(slot, state) >= 0;
    };
    // A lost camera (a replay silent for a while) is waited for the latency
    // budget only, so that its frames, played by their own stamps, still
    // meet their cycles when it comes back.
    if (Awaiting(states, participants, allLost, true, hasNext, nowMs, waitStartMs, wakeMs)) return Moment();
    return EarliestNextFrame(states, participants);
  }
  int index;
  if (haveMoment_) {
    index = NextFrameAfterMoment(pacing, states[pacing]);
  } else {
    // A loop starts at the first moment every camera that delivers has, so
    // that cameras switched on a frame apart do not miss its first cycles;
    // one that has given nothing within the frame wait is not waited for.
    auto hasAny = [](int, const CycleAssembler&, const CameraAcquisition::State& state) { return state.count > 0; };
    if (Awaiting(states, participants, allLost, false, hasAny, nowMs, waitStartMs, wakeMs)) return Moment();
    index = FirstPacingFrame(states, participants, allLost, pacing);
  }
  if (index >= 0) {
    const BufferedFrame& frame = states[pacing].frames[index];
    return {true, pacing, frame.serial, frame.key};
  }
  // The pacing camera's next frame is overdue: another camera's sets the moment.
  const double period = 2 * HalfPeriod(states[pacing]);
  const double overdueAt = (haveMoment_ ? PreviousMoment() : waitStartMs) + period + BudgetMs(states[pacing]);
  if (nowMs < overdueAt) {
    *wakeMs = std::min(*wakeMs, overdueAt);
    return Moment();
  }
  std::array<bool, kCameraCount> others{};
  for (int slot = 0; slot < kCameraCount; ++slot)
    others[slot] = participants[slot] && slot != pacing && (allLost || !lost_[slot]);
  return EarliestNextFrame(states, others);
}

bool CycleAssembler::Decide(const States& states, const std::array<bool, kCameraCount>& participants,
                            bool lockstep, const Moment& moment, double nowMs, double waitStartMs,
                            double* wakeMs, std::array<std::uint64_t, kCameraCount>* chosen,
                            AssembledCycle* cycle) const {
  chosen->fill(0);
  cycle->results.fill(GrabResult::NotRun);
  if (PacingOnly()) return true;
  const Window window = WindowOf(states, lockstep, moment);
  const double deadline =
      lockstep ? waitStartMs + Ms(timing_.frameWait) : moment.key + BudgetMs(states[moment.slot]);
  bool ready = true;
  for (int slot = 0; slot < kCameraCount; ++slot) {
    if (!participants[slot]) continue;
    GrabResult& result = cycle->results[slot];
    if (slot == moment.slot) {
      (*chosen)[slot] = moment.serial;
      result = GrabResult::Delivered;
      continue;
    }
    const CameraAcquisition::State& state = states[slot];
    double nearest = std::numeric_limits<double>::infinity();
    bool ahead = false;
    for (int i = 0; i < state.count; ++i) {
      const double key = state.frames[i].key;
      const double distance = std::abs(key - moment.key);
      if (key > window.after && key <= window.until && distance < nearest) {
        nearest = distance;
        (*chosen)[slot] = state.frames[i].serial;
      }
      ahead = ahead || key > window.until;
    }
    if ((*chosen)[slot] != 0) {
      result = GrabResult::Delivered;
    } else if (ahead || lost_[slot] || state.ended) {
      result = GrabResult::NoFrame;  // it has no frame of this moment, or is not waited for
    } else if (state.deviceGone) {
      result = GrabResult::DeviceGone;
    } else if (nowMs >= deadline) {
      result = GrabResult::NoFrame;  // too late: the cycle goes on without it
    } else {
      ready = false;
      *wakeMs = std::min(*wakeMs, deadline);
    }
  }
  return ready;
}

void CycleAssembler::Fill(const States& states, const std::array<bool, kCameraCount>& participants,
                          bool lockstep, const Moment& moment,
                          const std::array<std::uint64_t, kCameraCount>& chosen, AssembledCycle* cycle) {
  const Window window = WindowOf(states, lockstep, moment);
  const bool pacingOnly = PacingOnly();
  double low = std::numeric_limits<double>::infinity(), high = -low;
  cycle->pacingSlot = moment.slot;
  for (int i = 0; i < states[moment.slot].count; ++i)
    if (states[moment.slot].frames[i].serial == moment.serial) cycle->momentMs = states[moment.slot].frames[i].mappedMs;
  for (int slot = 0; slot < kCameraCount; ++slot) {
    if (!participants[slot]) continue;
    CameraAcquisition& acquisition = *acquisitions_[slot];
    const CameraAcquisition::State& state = states[slot];
    if (chosen[slot] != 0) {
      if (acquisition.Take(chosen[slot], &cycle->frames[slot])) {
        low = std::min(low, cycle->frames[slot].mappedMs);
        high = std::max(high, cycle->frames[slot].mappedMs);
        continue;
      }
      cycle->results[slot] = GrabResult::NoFrame;  // it overflowed meanwhile
    }
    // Frames older than the cycle go (and those that only paced it); newer ones stay.
    const double keepAfter = pacingOnly ? window.until : window.after;
    std::uint64_t keepFrom = state.count > 0 ? state.frames[state.count - 1].serial + 1 : 0;
    for (int i = 0; i < state.count; ++i) {
      if (state.frames[i].key > keepAfter) {
        keepFrom = state.frames[i].serial;
        break;
      }
    }
    if (keepFrom != 0) acquisition.DiscardUpTo(keepFrom, !pacingOnly);
  }
  // Frames matched by number are of one moment by construction; their
  // stamps may come from another machine's clock (a replayed take).
  cycle->spreadMs = lockstep || high < low ? 0 : high - low;
  cycle->matchedByNumber = lockstep;
  lastKey_ = moment.key;
  lastPacingSlot_ = moment.slot;
  for (int i = 0; i < states[moment.slot].count; ++i)
    if (states[moment.slot].frames[i].serial == moment.serial) lastPacingStamp_ = states[moment.slot].frames[i].stamp;
  haveMoment_ = true;
}

CycleAssembler::Wait CycleAssembler::NextTick(const std::atomic<bool>& keepGoing, AssembledCycle* cycle) {
  for (;;) {
    if (!keepGoing) return Wait::Stopped;
    const Clock::time_point now = Clock::now();
    if (now >= nextTick_) {
      // Ticks that passed while the loop was busy collapse into one.
      nextTick_ = std::max(nextTick_ + timing_.nominalPeriod, now);
      cycle->pacingSlot = -1;
      cycle->momentMs = HostMs(now);
      cycle->spreadMs = 0;
      cycle->matchedByNumber = false;
      cycle->results.fill(GrabResult::NotRun);
      return Wait::Cycle;
    }
    std::this_thread::sleep_for(std::min<Clock::duration>(nextTick_ - now, std::chrono::milliseconds(10)));
  }
}

CycleAssembler::Wait CycleAssembler::Next(const std::atomic<bool>& keepGoing, AssembledCycle* cycle) {
  const std::array<bool, kCameraCount> participants = Participants();
  if (std::none_of(participants.begin(), participants.end(), [](bool on) { return on; }))
    return NextTick(keepGoing, cycle);
  const bool lockstep = Lockstep(participants);
  const double waitStartMs = HostNowMs();
  const double stallAtMs = waitStartMs + Ms(timing_.stallLimit);
  States states;
  std::array<std::uint64_t, kCameraCount> chosen{};
  for (;;) {
    if (!keepGoing) return Wait::Stopped;
    frameEvent_.Reset();  // before looking, so that no frame that comes after is missed
    for (int slot = 0; slot < kCameraCount; ++slot) {
      if (!participants[slot]) continue;
      states[slot] = acquisitions_[slot]->Snapshot();
      if (states[slot].ended) {
        endedSlot_ = slot;
        return Wait::Ended;
      }
    }
    const double nowMs = HostNowMs();
    double wakeMs = nowMs + kSliceMs;
    const Moment moment = FindMoment(states, participants, lockstep, nowMs, waitStartMs, &wakeMs);
    if (moment.found) {
      if (Decide(states, participants, lockstep, moment, nowMs, waitStartMs, &wakeMs, &chosen, cycle)) {
        Fill(states, participants, lockstep, moment, chosen, cycle);
        return Wait::Cycle;
      }
    } else if (nowMs >= stallAtMs) {
      return Wait::Stalled;
    }
    wakeMs = std::min({wakeMs, nowMs + kSliceMs, std::max(stallAtMs, nowMs)});
    const double waitMs = std::max(0.0, wakeMs - nowMs);
    frameEvent_.Wait(std::chrono::milliseconds(static_cast<long long>(std::ceil(waitMs))));
  }
}

}  // namespace kestrova

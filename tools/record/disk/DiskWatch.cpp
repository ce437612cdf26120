#include "tools/record/disk/DiskWatch.h"

#include <algorithm>

#include "tools/common/TextTable.h"

namespace sorvo::tools {

DiskWatch::DiskWatch(const std::vector<DiskNeed>& needs, Reader reader)
    : m_reader(std::move(reader)) {
  for (const DiskNeed& need : needs) {
    Disk disk;
    disk.device = need.space.device;
    disk.estimate = need.BytesPerSecond();
    disk.closingBytesPerSecond = need.closingBytesPerSecond;
    m_disks.push_back(disk);
    DiskReading reading;
    reading.folder = need.folder;
    reading.freeBytes = need.space.freeBytes;
    m_readings.push_back(reading);
  }
}

std::vector<std::string> DiskWatch::Sample(double seconds) {
  std::vector<std::string> warnings;
  for (size_t i = 0; i < m_disks.size(); ++i) {
    Disk& disk = m_disks[i];
    DiskReading& reading = m_readings[i];
    FreeSpace space;
    if (!m_reader(reading.folder, &space))
      continue;  // the last reading stands
    disk.samples.push_back({seconds, space.freeBytes});
    while (disk.samples.size() > 2 && seconds - disk.samples[1].seconds >= kWindowSeconds)
      disk.samples.pop_front();
    Measure(&disk, &reading, seconds);
    for (size_t mark = 0; mark < std::size(kWarnSeconds); ++mark) {
      const double left = reading.secondsLeft;
      if (left < 0 || left > kWarnSeconds[mark] * kRearmFactor)
        disk.warned[mark] = false;
      if (!reading.measured || left < 0 || left >= kWarnSeconds[mark] || disk.warned[mark])
        continue;
      disk.warned[mark] = true;
      warnings.push_back("at " + FormatDuration(seconds) + " the disk of " + reading.folder +
                         " has less than " + FormatDuration(kWarnSeconds[mark]) + " left (about " +
                         FormatDuration(left) + ": " + FormatBytes(reading.freeBytes) +
                         " free, falling " +
                         FormatBytes(static_cast<long long>(reading.bytesPerSecond)) + "/s)");
    }
  }
  return warnings;
}

void DiskWatch::Measure(Disk* disk, DiskReading* reading, double seconds) const {
  const Point& first = disk->samples.front();
  const Point& last = disk->samples.back();
  const double span = last.seconds - first.seconds;
  reading->freeBytes = last.freeBytes;
  reading->measured = span >= kMeasureSeconds;
  // Space freed by others shows as no fall at all rather than as a negative rate.
  reading->bytesPerSecond =
      reading->measured
          ? std::max(0.0, static_cast<double>(first.freeBytes - last.freeBytes) / span)
          : disk->estimate;
  const double rate = reading->bytesPerSecond;
  reading->secondsLeft = rate > 0 ? static_cast<double>(last.freeBytes) / rate : -1;
  reading->low = reading->secondsLeft >= 0 && reading->secondsLeft < kWarnSeconds[1];
  const double usable = static_cast<double>(last.freeBytes) - disk->closingBytesPerSecond * seconds;
  disk->belowFloor = usable < static_cast<double>(kFloorBytes);
  reading->nearlyFull = disk->belowFloor || (rate > 0 && usable < rate * kNearlyFullSeconds);
}

int DiskWatch::DiskOf(const std::string& folder) const {
  FreeSpace space;
  if (!m_reader(folder, &space))
    return -1;
  for (size_t i = 0; i < m_disks.size(); ++i)
    if (m_disks[i].device == space.device)
      return static_cast<int>(i);
  return -1;
}

bool DiskWatch::NeedsStep(int index) const {
  if (index < 0 || index >= static_cast<int>(m_disks.size()))
    return false;
  const DiskReading& reading = m_readings[index];
  return reading.nearlyFull && (reading.measured || m_disks[index].belowFloor);
}

void DiskWatch::Stepped(int index) {
  if (index < 0 || index >= static_cast<int>(m_disks.size()))
    return;
  // The fall is measured again from the next reading on, without the step's outputs.
  Disk& disk = m_disks[index];
  disk.estimate = m_readings[index].bytesPerSecond;
  if (!disk.samples.empty())
    disk.samples.erase(disk.samples.begin(), disk.samples.end() - 1);
  m_readings[index].measured = false;
}

}  // namespace sorvo::tools

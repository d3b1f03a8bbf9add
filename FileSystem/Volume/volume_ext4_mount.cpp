// The ext4 binding of the drive table: block device callbacks over the drive's sectors, recovery on writable drives.
#include "FileSystem/Volume/volume_ext4.h"

#include "FileSystem/Ext4/ext4_journal.h"
#include "FileSystem/Ext4/ext4_trans.h"
#include "lib/text/fmt.h"

#include <array>
#include <cstring>
#include <map>

// Sectors that a journal replay of a read-only drive wrote: kept in memory and read in place of the
// medium's, which is never written.
struct Ext4DriveVolume::Overlay {
  bool on = false;
  bool full = false;
  std::map<u64, std::array<u8, 512>> sectors;
};

namespace {

// What a replay in memory may hold (64 MiB); a longer one is refused.
constexpr std::size_t kOverlaySectors = 131072;

std::unique_ptr<Ext4BlockDevice> MakeDevice(DiskSectorDevice& medium, Ext4DriveVolume::Overlay& overlay) {
  auto dev = std::make_unique<Ext4BlockDevice>();
  dev->physBlockCount = medium.SectorCount();
  dev->open = [](Ext4BlockDevice& d) { return Ext4BlockdevOpen(d); };
  dev->read = [&medium, &overlay](Ext4BlockDevice&, void* buf, u64 block, u32 count) {
    if (medium.Read(buf, block, count) != DISK_OK) return EXT4_EIO;
    for (auto it = overlay.sectors.lower_bound(block); it != overlay.sectors.end() && it->first < block + count; ++it)
      std::memcpy(static_cast<u8*>(buf) + (it->first - block) * 512, it->second.data(), 512);
    return 0;
  };
  dev->write = [&medium, &overlay](Ext4BlockDevice&, const void* buf, u64 block, u32 count) {
    if (!overlay.on) return medium.Write(buf, block, count) == DISK_OK ? 0 : EXT4_EIO;
    if (overlay.sectors.size() + count > kOverlaySectors) {
      overlay.full = true;
      return EXT4_EIO;
    }
    for (u32 i = 0; i < count; ++i)
      std::memcpy(overlay.sectors[block + i].data(), static_cast<const u8*>(buf) + u64{i} * 512, 512);
    return 0;
  };
  dev->close = [](Ext4BlockDevice&) { return 0; };
  dev->sync = [&medium](Ext4BlockDevice&) { return medium.Ioctl(DISK_IOCTL_SYNC, nullptr) == DISK_OK ? 0 : EXT4_EIO; };
  return dev;
}

constexpr const char* kNeedsRecovery =
    "Das Journal des ext4-Dateisystems enthält noch nicht übertragene Änderungen; schreibgeschützt angehängt wird "
    "es nicht gelesen (beschreibbar angehängt wird das Journal erst nachgetragen).";

// The note of a replay that passed over blocks whose checksums failed.
std::string SkippedNote(u32 skipped, bool inMemory) {
  if (!skipped) return {};
  return FmtString("Beim Nachtragen des Journals wurden %u Blöcke mit falscher Prüfsumme übergangen; %s", skipped,
                   inMemory ? "das Dateisystem sollte mit e2fsck geprüft werden."
                            : "das ext4-Dateisystem ist als fehlerhaft markiert und sollte mit e2fsck geprüft werden.");
}

}  // namespace

Ext4DriveVolume::Ext4DriveVolume(DiskDriveTable& table, int drive) : m_medium(table, drive) {}

// A read-only drive whose journal holds changes: they are replayed into memory only, and the volume
// is then read as it stands after them; the medium is not written.
int Ext4DriveVolume::ReplayInMemory(std::string* note) {
  Ext4BlockDevice* dev = m_device.get();
  m_overlay->on = true;
  Ext4Volume* vol = nullptr;
  int r = Ext4Mount(dev, &vol, false);
  if (r == EXT4_OK && vol->fs.readOnly) r = EXT4_EROFS;
  u32 skipped = 0;
  if (r == EXT4_OK) {
    r = Ext4JournalRecover(vol);
    if (r == EXT4_ENOTSUP) r = EXT4_OK;
    if (r == EXT4_OK) skipped = vol->journalErrors;
  }
  if (vol) {
    const int u = Ext4Umount(vol);
    if (r == EXT4_OK) r = u;
  }
  m_overlay->on = false;
  if (r != EXT4_OK) {
    *note = m_overlay->full ? "Das Journal des ext4-Dateisystems enthält mehr noch nicht übertragene Änderungen, als "
                              "schreibgeschützt im Speicher nachgetragen werden können; es wird nicht gelesen."
                            : kNeedsRecovery;
    m_overlay->sectors.clear();
    return r;
  }
  *note = SkippedNote(skipped, true);
  return EXT4_OK;
}

std::unique_ptr<Ext4DriveVolume> Ext4DriveVolume::Mount(DiskDriveTable& table, int drive) {
  table.note[drive].clear();
  std::unique_ptr<Ext4DriveVolume> self(new Ext4DriveVolume(table, drive));
  self->m_overlay = std::make_unique<Overlay>();
  self->m_device = MakeDevice(self->m_medium, *self->m_overlay);
  Ext4BlockDevice* dev = self->m_device.get();
  const bool driveReadOnly = (table.access[drive] & 1) != 0;
  auto refuse = [&](const std::string& why) -> std::unique_ptr<Ext4DriveVolume> {
    table.note[drive] = why;
    return nullptr;
  };
  Ext4Volume* vol = nullptr;
  // First read-only, to learn whether the journal needs replaying before anything is written.
  if (Ext4Mount(dev, &vol, true) != EXT4_OK) return refuse(dev->mountNote);
  bool needed = false, errorKept = false;
  const int checked = Ext4JournalNeedsRecovery(vol, &needed, &errorKept);
  const std::string writeNote = vol->note;
  // A writable attach also takes over an error the journal keeps, when nothing stands against writing.
  const bool takeError = errorKept && !driveReadOnly && writeNote.empty();
  if (checked != EXT4_OK || needed || takeError) {
    Ext4Umount(vol);
    vol = nullptr;
    if (checked != EXT4_OK)
      return refuse("Das Journal des ext4-Dateisystems ist beschädigt; das Dateisystem wird nicht gelesen.");
    if (driveReadOnly && needed) {
      if (!writeNote.empty()) return refuse(kNeedsRecovery);
      std::string note;
      if (self->ReplayInMemory(&note) != EXT4_OK) return refuse(note);
      if (Ext4Mount(dev, &vol, true) != EXT4_OK) return refuse(dev->mountNote);
      table.note[drive] = note;
      self->m_volume = vol;
      return self;
    }
    if (!writeNote.empty())
      return refuse("Das Journal des ext4-Dateisystems müsste nachgetragen werden, doch das Dateisystem kann nicht "
                    "geschrieben werden: " + writeNote);
    if (Ext4Mount(dev, &vol, false) != EXT4_OK) return refuse(dev->mountNote);
    const int recovered = Ext4JournalRecover(vol);
    const u32 skipped = recovered == EXT4_OK ? vol->journalErrors : 0;
    if (recovered != EXT4_OK && recovered != EXT4_ENOTSUP) {
      Ext4Umount(vol);
      return refuse("Das Journal des ext4-Dateisystems konnte nicht nachgetragen werden.");
    }
    table.note[drive] = SkippedNote(skipped, false);
  } else if (!driveReadOnly && writeNote.empty()) {
    // A writable drive is written: mounted again for writing.
    Ext4Umount(vol);
    vol = nullptr;
    if (Ext4Mount(dev, &vol, false) != EXT4_OK) return refuse(dev->mountNote);
  }
  if (!vol->fs.readOnly) {
    // Recovered, then the journal runs; metadata waits in the cache until its transaction commits.
    if (Ext4JournalStart(vol) != EXT4_OK || Ext4CacheWriteBack(vol, true) != EXT4_OK) {
      Ext4Umount(vol);
      return refuse("Das Journal des ext4-Dateisystems kann nicht gestartet werden.");
    }
  }
  // What keeps a writable drive from being written is said, as a refusal would be.
  if (!driveReadOnly && table.note[drive].empty()) table.note[drive] = vol->note;
  // A volume marked as having errors is written (as after a failed write of ours, whose log the
  // attach replayed), with a warning: what only e2fsck finds may be damaged.
  if (!vol->fs.readOnly && table.note[drive].empty() && (Ext4Le16(vol->fs.sb.data() + EXT4_SB_STATE) & EXT4_STATE_ERROR))
    table.note[drive] = "Das ext4-Dateisystem ist als fehlerhaft markiert; es wird dennoch beschrieben und sollte mit "
                        "e2fsck geprüft werden.";
  self->m_volume = vol;
  return self;
}

namespace {

// Write-back off, the journal stopped, then the volume unmounted: the first error.
int Detach(Ext4Volume* vol) {
  int first = EXT4_OK;
  if (!vol->fs.readOnly) {
    first = Ext4CacheWriteBack(vol, false);
    const int stopped = Ext4JournalStop(vol);
    if (first == EXT4_OK) first = stopped;
  }
  const int unmounted = Ext4Umount(vol);
  return first != EXT4_OK ? first : unmounted;
}

}  // namespace

Ext4DriveVolume::~Ext4DriveVolume() {
  if (m_volume) Detach(m_volume);
}

void Ext4DriveVolume::Unmount() {
  // Files still open are closed first: a written one takes its times.
  int first = EXT4_OK;
  for (auto& f : files) {
    if (f && f->volume)
      if (const int r = Ext4FileClose(f.get()); first == EXT4_OK) first = r;
    f.reset();
  }
  for (auto& d : dirs) d.reset();
  if (!m_volume) return;
  const int detached = Detach(m_volume);
  m_unmountResult = first != EXT4_OK ? first : detached;
  m_volume = nullptr;
}

// The FAT side of the volume file API: the engine bound to a drive.
#include "FileSystem/volume_fat.h"

FatVolume::FatVolume(DiskDriveTable& table, int drive) : FatFs(m_device), m_device(table, drive) {}

void FatVolume::Unmount() { FatUnmount(*this); }

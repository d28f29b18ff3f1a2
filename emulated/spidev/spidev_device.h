// The emulated spidev driver behind the interposed C library functions.
#ifndef SPIDEV_DEVICE_H
#define SPIDEV_DEVICE_H

bool spidevIsDevicePath(const char *path);
// The errno an open of the device fails with now, or 0.
int spidevOpenRefusal();
// fd (a real descriptor standing for the device file) was opened with flags.
void spidevAttachFile(int fd, int flags);
bool spidevOwnsFile(int fd);
void spidevDetachFile(int fd);
// An ioctl on a device file: its result, with errno set on -1.
int spidevIoctl(unsigned long request, void *argument);

#endif

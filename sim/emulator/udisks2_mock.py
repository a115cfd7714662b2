'''A small UDisks2 for the ejector's tests and for quorta-gps-emulator: one GPS
drive whose file system is mounted at the MountPoint parameter, and the
computer's own disk beside it. An Eject that succeeds makes the drive's
MediaAvailable false, which the emulator watches for (as it watches the
volume's MountPoints) to take the drive away as the GPS does.

Parameters (JSON):
  MountPoint      where the GPS volume is mounted (default /media/rider/QUORTA)
  Mounted         false: the volume starts unmounted, and Filesystem.Mount
                  mounts it at MountPoint (default true)
  MountRefused    Filesystem.Mount answers as polkit does for "no"
  UnmountFails    Filesystem.Unmount answers "target is busy"
  EjectFails      Drive.Eject fails
'''

import dbus
import dbusmock

BUS_NAME = 'org.freedesktop.UDisks2'
MAIN_OBJ = '/org/freedesktop/UDisks2'
MAIN_IFACE = 'org.freedesktop.UDisks2.Manager'
SYSTEM_BUS = True
IS_OBJECT_MANAGER = True

BLOCK = 'org.freedesktop.UDisks2.Block'
FILESYSTEM = 'org.freedesktop.UDisks2.Filesystem'
DRIVE = 'org.freedesktop.UDisks2.Drive'


def mount_points(*paths):
    return dbus.Array([dbus.ByteArray(p.encode() + b'\0') for p in paths], signature='ay')


def failing(error, text):
    return f'raise dbus.exceptions.DBusException({text!r}, name={error!r})'


def load(mock, parameters):
    mount = parameters.get('MountPoint', '/media/rider/QUORTA')
    mock.AddProperties(MAIN_IFACE, {'Version': dbus.String('2.9.4')})

    gps_drive = '/org/freedesktop/UDisks2/drives/Quorta_GPS_0001'
    if parameters.get('EjectFails', False):
        eject = failing('org.freedesktop.UDisks2.Error.Failed', 'Error ejecting /dev/sdb')
    else:
        eject = f"self.UpdateProperties('{DRIVE}', {{'MediaAvailable': dbus.Boolean(False)}})"
    mock.AddObject(gps_drive, DRIVE,
                   {'Vendor': dbus.String('Quorta'), 'Ejectable': dbus.Boolean(True),
                    'CanPowerOff': dbus.Boolean(True), 'MediaAvailable': dbus.Boolean(True)},
                   [('Eject', 'a{sv}', '', eject), ('PowerOff', 'a{sv}', '', '')])

    # The computer's own disk comes first, mounted elsewhere.
    system_disk = '/org/freedesktop/UDisks2/block_devices/vda'
    mock.AddObject(system_disk, BLOCK,
                   {'Drive': dbus.ObjectPath('/'), 'DeviceNumber': dbus.UInt64(0xfe00),
                    'Device': dbus.ByteArray(b'/dev/vda\0')}, [])
    dbusmock.get_object(system_disk).AddProperties(FILESYSTEM, {'MountPoints': mount_points('/')})

    # The whole GPS disk: a block object without a file system.
    mock.AddObject('/org/freedesktop/UDisks2/block_devices/sdb', BLOCK,
                   {'Drive': dbus.ObjectPath(gps_drive), 'DeviceNumber': dbus.UInt64(0x810),
                    'Device': dbus.ByteArray(b'/dev/sdb\0')}, [])

    gps_volume = '/org/freedesktop/UDisks2/block_devices/sdb1'
    mock.AddObject(gps_volume, BLOCK,
                   {'Drive': dbus.ObjectPath(gps_drive), 'DeviceNumber': dbus.UInt64(0x811),
                    'Device': dbus.ByteArray(b'/dev/sdb1\0'),
                    'IdLabel': dbus.String('QUORTA'), 'IdType': dbus.String('vfat')}, [])
    if parameters.get('UnmountFails', False):
        unmount = failing('org.freedesktop.UDisks2.Error.DeviceBusy',
                          f'Error unmounting /dev/sdb1: target is busy')
    else:
        unmount = ("self.UpdateProperties('%s', {'MountPoints': "
                   "dbus.Array([], signature='ay')})" % FILESYSTEM)
    if parameters.get('MountRefused', False):
        mount_call = failing('org.freedesktop.UDisks2.Error.NotAuthorizedCanObtain',
                             'Not authorized to perform operation')
    else:
        mount_call = ("self.UpdateProperties('%s', {'MountPoints': dbus.Array("
                      "[dbus.ByteArray(%r)], signature='ay')})\nret = %r"
                      % (FILESYSTEM, mount.encode() + b'\0', mount))
    volume = dbusmock.get_object(gps_volume)
    mounted = parameters.get('Mounted', True)
    volume.AddProperties(FILESYSTEM, {'MountPoints': mount_points(mount) if mounted
                                      else dbus.Array([], signature='ay')})
    volume.AddMethods(FILESYSTEM, [('Unmount', 'a{sv}', '', unmount),
                                   ('Mount', 'a{sv}', 's', mount_call)])

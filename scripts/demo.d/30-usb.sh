#!/usr/bin/env bash
# Virtual modules on an emulated USB bus: the tool's own USB discovery and
# USB links, through an unmodified libusb, run under virtual_usb.
set -euo pipefail
echo "\$ virtual_usb --module 1234ABCD:13 --module 0000BEEF:04 -- usb_list --link"
"$BUILD/virtual_usb" --module 1234ABCD:13 --module 0000BEEF:04 -- "$BUILD/usb_list" --link

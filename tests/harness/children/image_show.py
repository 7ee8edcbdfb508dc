"""Image.show() after tervalo's viewer is registered, with a viewer of
Pillow's kind after it that only says it was asked (on standard error)."""

import sys

from PIL import Image, ImageShow

import tervalo.imageshow


class Fallback(ImageShow.Viewer):
    def show(self, image, **options):
        print("fallback", image.size, file=sys.stderr)
        return 1


ImageShow._viewers[:] = [Fallback()]  # Pillow's own would open windows
tervalo.imageshow.register()
tervalo.imageshow.register()  # once is enough
Image.new("RGB", (60, 40), (200, 0, 0)).show()

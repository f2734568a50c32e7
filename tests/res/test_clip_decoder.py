"""Decodes every frame of the clip as built into the program with Debian's ffmpeg (its msrle
decoder, written apart from ours and from any animation control) and compares the colours with
the picture the clip generator drew. The generator's own decoder cannot catch a misreading that
it shares with the encoder."""

import os
import shutil
import subprocess
import unittest

import make_clip


class ClipThroughAnIndependentDecoder(unittest.TestCase):
    def test_every_frame_decodes_to_the_drawn_picture(self):
        clip = os.environ.get("PARVOLET_CLIP", "")
        self.assertTrue(os.path.isfile(clip), "PARVOLET_CLIP must name the built clip: %r" % clip)
        ffmpeg = shutil.which("ffmpeg")
        if ffmpeg is None:
            self.skipTest("ffmpeg is not installed (.ci/install-packages installs it)")
        # Strict: any damaged frame stops the decoder with an error; every frame is kept as it is.
        decoded = subprocess.run(
            [ffmpeg, "-nostdin", "-v", "error", "-xerror", "-err_detect", "explode", "-c:v", "msrle",
             "-i", clip, "-fps_mode", "passthrough", "-f", "rawvideo", "-pix_fmt", "rgb24", "-"],
            capture_output=True, timeout=120)
        self.assertEqual(0, decoded.returncode, decoded.stderr.decode(errors="replace"))
        self.assertEqual(b"", decoded.stderr.strip(), "the decoder complained")
        frame_size = make_clip.WIDTH * make_clip.HEIGHT * 3
        self.assertEqual(make_clip.FRAMES * frame_size, len(decoded.stdout), "frame count or size")
        colours = [bytes(c) for c in make_clip.palette()]
        wrong = []
        for number in range(make_clip.FRAMES):
            meant = b"".join(colours[index] for row in make_clip.render_frame(number) for index in row)
            got = decoded.stdout[number * frame_size:(number + 1) * frame_size]
            if got != meant:
                first = next(i for i in range(frame_size) if got[i] != meant[i]) // 3
                wrong.append("frame %d from pixel (%d, %d)" % (number, first % make_clip.WIDTH,
                                                                first // make_clip.WIDTH))
        self.assertEqual([], wrong[:5], "%d of %d frames differ" % (len(wrong), make_clip.FRAMES))


if __name__ == "__main__":
    unittest.main()

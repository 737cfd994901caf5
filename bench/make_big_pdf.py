"""Writes a one-page PDF of about the given size (bytes) with a classic cross-reference table:
the page's content stream carries the bulk, as in scanned or image-heavy documents."""
import sys

path, size = sys.argv[1], int(sys.argv[2])
line = b"0.5 0.5 m 10.5 10.5 l S\n"
count = max(1, (size - 600) // len(line))
content = line * count
bodies = [
    b"<< /Type /Catalog /Pages 2 0 R >>",
    b"<< /Type /Pages /Kids [3 0 R] /Count 1 >>",
    b"<< /Type /Page /Parent 2 0 R /MediaBox [0 0 612 792] /Contents 4 0 R >>",
    b"<< /Length %d >>\nstream\n" % len(content) + content + b"\nendstream",
]
with open(path, "wb") as f:
    out = b"%PDF-1.4\n%\xe2\xe3\xcf\xd3\n"
    f.write(out)
    pos = len(out)
    offsets = []
    for i, body in enumerate(bodies):
        offsets.append(pos)
        chunk = b"%d 0 obj\n" % (i + 1) + body + b"\nendobj\n"
        f.write(chunk)
        pos += len(chunk)
    tail = b"xref\n0 5\n0000000000 65535 f \n" + b"".join(b"%010d 00000 n \n" % o for o in offsets)
    tail += b"trailer\n<< /Size 5 /Root 1 0 R >>\nstartxref\n%d\n%%%%EOF\n" % pos
    f.write(tail)

"""Writes a one-page PDF of about the given size (bytes) with a classic cross-reference table,
or with a cross-reference stream when the third argument is "xref-stream": the page's content
stream carries the bulk, as in scanned or image-heavy documents."""
import sys

path, size = sys.argv[1], int(sys.argv[2])
xref_stream = len(sys.argv) > 3 and sys.argv[3] == "xref-stream"
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
    if xref_stream:
        # Object 5: type, 4-byte offset, 2-byte generation for objects 0 to 5, itself included.
        rows = b"\x00\x00\x00\x00\x00\xff\xff" + b"".join(b"\x01" + o.to_bytes(4, "big") + b"\x00\x00"
                                                        for o in offsets + [pos])
        tail = b"5 0 obj\n<< /Type /XRef /Size 6 /W [1 4 2] /Root 1 0 R /Length %d >>\nstream\n" % len(rows)
        tail += rows + b"\nendstream\nendobj\nstartxref\n%d\n%%%%EOF\n" % pos
    else:
        tail = b"xref\n0 5\n0000000000 65535 f \n" + b"".join(b"%010d 00000 n \n" % o for o in offsets)
        tail += b"trailer\n<< /Size 5 /Root 1 0 R >>\nstartxref\n%d\n%%%%EOF\n" % pos
    f.write(tail)

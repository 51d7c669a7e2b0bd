// Writes LHA archives with an encoder that nobody on this project wrote, so
// that the extractor is tested against data it did not shape itself.
//
//   java -cp jlha.jar:classes MakeArchives OUTDIR
//
// OUTDIR/inputs/      the original files; an extracted member must equal its input
// OUTDIR/*.lzh        the archives
// OUTDIR/manifest.tsv one line per member, read by tests/e2e_methods_test.cpp
//
// Everything is deterministic: fixed seeds (java.util.Random's sequence is
// fixed by the language), fixed time stamps, fixed time zone.

import jp.gr.java_conf.dangan.util.lha.CompressMethod;
import jp.gr.java_conf.dangan.util.lha.LhaHeader;
import jp.gr.java_conf.dangan.util.lha.LhaOutputStream;
import jp.gr.java_conf.dangan.util.lha.LhaProperty;

import java.io.ByteArrayOutputStream;
import java.io.File;
import java.io.FileOutputStream;
import java.io.FilterOutputStream;
import java.io.IOException;
import java.io.OutputStream;
import java.io.PrintWriter;
import java.io.UnsupportedEncodingException;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.Date;
import java.util.LinkedHashMap;
import java.util.List;
import java.util.Map;
import java.util.Random;
import java.util.TimeZone;

public final class MakeArchives {
    // Levels 0 and 1 store local MS-DOS time, which the encoder takes from the
    // JVM's default zone. The tests run the extractor with TZ=Europe/Berlin, so
    // writing in that zone makes the extracted time equal the chosen instant.
    static final TimeZone ZONE = TimeZone.getTimeZone("Europe/Berlin");

    static final String[] METHODS = {"lh0", "lh1", "lh4", "lh5", "lh6", "lh7", "lzs", "lz5", "lz4"};

    // Instants in UTC seconds, all even (MS-DOS time has 2-second steps) and
    // far from a daylight-saving switch (no ambiguous local hour). Winter and
    // summer alternate so that a wrong zone offset shows as 1 or 2 hours.
    static final long[] TIMES = {
        1610702430L,  // 2021-01-15 09:20:30 UTC, winter
        1562243696L,  // 2019-07-04 12:34:56 UTC, summer
        946730040L,   // 2000-01-01 12:34:00 UTC, winter
        1118846402L,  // 2005-06-15 14:40:02 UTC, summer
        1700000000L,  // 2023-11-14 22:13:20 UTC, winter
    };

    static final int ATTR_READ_ONLY = 0x01;
    static final int ATTR_DIRECTORY = 0x10;
    static final int ATTR_ARCHIVE = 0x20;

    static final class Member {
        String path;       // with "/" separators; a directory ends in "/"
        String input;      // file under inputs/, null for a directory
        String method;     // three letters, "lhd" for a directory
        long mtime;        // UTC seconds as stored
        int attribute;     // MS-DOS attribute byte
        byte[] packed;     // null for a directory
        byte[] data;
    }

    // The header's attribute byte is reachable only through the protected
    // level 0 field; levels 1 and 2 carry a non-default attribute in an
    // extended header of type 0x40, which the encoder writes only if asked.
    // The OS identifier defaults to 'J'; the extractor honours an attribute
    // extended header only under 'M', so every header says 'M'.
    static final class Header extends LhaHeader {
        private final int level;
        private final int attribute;

        Header(String path, Date time, int level, int attribute) {
            super(path, time);
            this.level = level;
            this.attribute = attribute;
            setHeaderLevel(level);
            setOSID((byte) 'M');
            if (level == 0) {
                setLevel0DosAttribute((byte) attribute);
            }
        }

        @Override
        protected byte[][] exportExtendHeaders(String encoding) throws UnsupportedEncodingException {
            byte[][] headers = super.exportExtendHeaders(encoding);
            if (level == 0 || attribute == ATTR_ARCHIVE) {
                return headers;
            }
            byte[][] more = Arrays.copyOf(headers, headers.length + 1);
            more[headers.length] = new byte[] {0x40, (byte) attribute, 0x00};
            return more;
        }
    }

    static final class CountingStream extends FilterOutputStream {
        long count;

        CountingStream(OutputStream out) {
            super(out);
        }

        @Override
        public void write(int b) throws IOException {
            out.write(b);
            count++;
        }

        @Override
        public void write(byte[] b, int off, int len) throws IOException {
            out.write(b, off, len);
            count += len;
        }
    }

    static File outDir;
    static PrintWriter manifest;
    static final Map<String, byte[]> packedCache = new LinkedHashMap<>();

    public static void main(String[] args) throws IOException {
        if (args.length != 1) {
            System.err.println("usage: MakeArchives OUTDIR");
            System.exit(2);
        }
        TimeZone.setDefault(ZONE);
        outDir = new File(args[0]);
        File inputDir = new File(outDir, "inputs");
        inputDir.mkdirs();

        Map<String, byte[]> inputs = new LinkedHashMap<>();
        inputs.put("empty.bin", new byte[0]);
        inputs.put("one.bin", new byte[] {0x41});
        inputs.put("exact64k.bin", wordSoup(new Random(64), 65536));
        inputs.put("over64k.bin", wordSoup(new Random(65), 65537));
        inputs.put("runs.bin", runs(new Random(3)));
        inputs.put("text.txt", text(new Random(4), 160 * 1024));
        inputs.put("random.bin", randomBytes(new Random(5), 96 * 1024));
        inputs.put("mixed.bin", mixed(new Random(6), 2 * 1024 * 1024));
        inputs.put("readme.txt", text(new Random(10), 6000));
        inputs.put("deep.bin", wordSoup(new Random(11), 30000));
        inputs.put("main.c", text(new Random(12), 9000));
        inputs.put("strings.c", text(new Random(13), 12000));
        inputs.put("locked.txt", text(new Random(14), 3000));
        inputs.put("notes.txt", text(new Random(15), 2500));
        inputs.put("victim.txt", larcSafeText(40000));
        for (Map.Entry<String, byte[]> e : inputs.entrySet()) {
            Files.write(new File(inputDir, e.getKey()).toPath(), e.getValue());
        }

        manifest = new PrintWriter(new File(outDir, "manifest.tsv"), "UTF-8");
        manifest.println("# archive\tlevel\tkind\tmethod\tpath\tinput\tmtime\tattribute\tpackedOffset\tpackedSize\tringEdgeMatches");

        // Every method at every level over the edge-case inputs.
        String[] matrixInputs = {"empty.bin", "one.bin", "exact64k.bin", "over64k.bin",
                                 "runs.bin", "text.txt", "random.bin", "mixed.bin"};
        for (String method : METHODS) {
            for (int level = 0; level <= 2; level++) {
                List<Member> members = new ArrayList<>();
                for (int i = 0; i < matrixInputs.length; i++) {
                    members.add(file(matrixInputs[i], matrixInputs[i], inputs, method,
                                     TIMES[i % TIMES.length], ATTR_ARCHIVE));
                }
                writeArchive(method + "-l" + level + ".lzh", level, members);
            }
        }

        // A tree: directory entries, a directory that exists only as an
        // entry, files below directories that have no entry of their own, a
        // read-only file, several methods in one archive.
        for (int level = 0; level <= 2; level++) {
            List<Member> members = new ArrayList<>();
            members.add(dir("docs/", TIMES[0]));
            members.add(file("docs/readme.txt", "readme.txt", inputs, "lh5", TIMES[1], ATTR_ARCHIVE));
            members.add(dir("docs/sub/", TIMES[2]));
            members.add(file("docs/sub/deep.bin", "deep.bin", inputs, "lh6", TIMES[3], ATTR_ARCHIVE));
            members.add(dir("empty/", TIMES[4]));
            members.add(file("src/main.c", "main.c", inputs, "lh1", TIMES[0], ATTR_ARCHIVE));
            members.add(file("src/util/strings.c", "strings.c", inputs, "lzs", TIMES[1], ATTR_ARCHIVE));
            members.add(file("locked.txt", "locked.txt", inputs, "lz5", TIMES[2], ATTR_ARCHIVE | ATTR_READ_ONLY));
            members.add(file("notes.txt", "notes.txt", inputs, "lh0", TIMES[3], ATTR_ARCHIVE));
            writeArchive("tree-l" + level + ".lzh", level, members);
        }

        // A refused member between two good ones.
        for (int level = 0; level <= 2; level++) {
            List<Member> members = new ArrayList<>();
            members.add(file("before.txt", "readme.txt", inputs, "lh5", TIMES[0], ATTR_ARCHIVE));
            members.add(file("refused.txt", "notes.txt", inputs, "lh7", TIMES[1], ATTR_ARCHIVE));
            members.add(file("after.txt", "main.c", inputs, "lh5", TIMES[2], ATTR_ARCHIVE));
            writeArchive("lh7mix-l" + level + ".lzh", level, members);
        }

        // One member per method for the damage tests, which cut or flip its
        // packed data (the manifest gives where that data lies).
        for (String method : METHODS) {
            if (method.equals("lh7")) {
                continue;
            }
            List<Member> members = new ArrayList<>();
            members.add(file("victim.txt", "victim.txt", inputs, method, TIMES[4], ATTR_ARCHIVE));
            writeArchive("damage-" + method + ".lzh", 1, members);
        }

        manifest.close();
        if (manifest.checkError()) {
            throw new IOException("cannot write manifest.tsv");
        }
    }

    static Member file(String path, String input, Map<String, byte[]> inputs, String method,
                       long mtime, int attribute) throws IOException {
        Member m = new Member();
        m.path = path;
        m.input = input;
        m.method = method;
        m.mtime = mtime;
        m.attribute = attribute;
        m.data = inputs.get(input);
        String key = method + "/" + input;
        byte[] packed = packedCache.get(key);
        if (packed == null) {
            packed = compress(method, m.data);
            packedCache.put(key, packed);
        }
        m.packed = packed;
        return m;
    }

    static Member dir(String path, long mtime) {
        Member m = new Member();
        m.path = path;
        m.method = "lhd";
        m.mtime = mtime;
        m.attribute = ATTR_DIRECTORY;
        m.data = new byte[0];
        m.packed = new byte[0];
        return m;
    }

    // The archive writer's own choice would store anything that does not
    // shrink; the encoder is driven directly so that every member keeps the
    // method it was given, incompressible and empty inputs included.
    static byte[] compress(String method, byte[] data) throws IOException {
        ByteArrayOutputStream sink = new ByteArrayOutputStream();
        OutputStream encoder = CompressMethod.connectEncoder(sink, "-" + method + "-",
                                                             LhaProperty.getProperties());
        encoder.write(data);
        encoder.close();
        return sink.toByteArray();
    }

    static void writeArchive(String name, int level, List<Member> members) throws IOException {
        File file = new File(outDir, name);
        long[] offsets = new long[members.size()];
        try (FileOutputStream raw = new FileOutputStream(file)) {
            CountingStream counted = new CountingStream(raw);
            LhaOutputStream archive = new LhaOutputStream(counted);
            for (int i = 0; i < members.size(); i++) {
                Member m = members.get(i);
                Header h = new Header(m.path, new Date(m.mtime * 1000L), level, m.attribute);
                h.setCompressMethod("-" + m.method + "-");
                h.setOriginalSize(m.data.length);
                h.setCompressedSize(m.packed.length);
                h.setCRC(crc16(m.data));
                archive.putNextEntryAlreadyCompressed(h);
                archive.write(m.packed);
                archive.closeEntry();
                archive.flush();
                offsets[i] = counted.count - m.packed.length;
            }
            archive.close();
        }
        // The offsets are only as good as the assumption that each member's
        // data is out by the time its entry is closed: check it.
        byte[] written = Files.readAllBytes(file.toPath());
        for (int i = 0; i < members.size(); i++) {
            Member m = members.get(i);
            byte[] there = Arrays.copyOfRange(written, (int) offsets[i], (int) offsets[i] + m.packed.length);
            if (!Arrays.equals(there, m.packed)) {
                throw new IOException(name + ": packed data of " + m.path + " is not at " + offsets[i]);
            }
            manifest.println(name + "\t" + level + "\t" + (m.input == null ? "dir" : "file") + "\t"
                             + m.method + "\t" + m.path + "\t" + (m.input == null ? "-" : m.input) + "\t"
                             + m.mtime + "\t" + m.attribute + "\t" + offsets[i] + "\t" + m.packed.length
                             + "\t" + ringEdgeMatches(m.method, m.packed, m.data.length));
        }
    }

    // The -lzs- and -lz5- encoders sometimes pick a match at a distance of
    // exactly the ring size (2,048 or 4,096): the position names the ring slot
    // of the byte about to be written, meaning the byte one ring back. The
    // extractor takes such a position as distance 0, which copies the window
    // at the write position instead, so these members do not come out as
    // they went in. The count goes into the manifest so that the tests hold
    // such members apart; this walks the items without decoding any byte.
    static int ringEdgeMatches(String method, byte[] packed, int size) {
        boolean lzs = method.equals("lzs");
        if (!lzs && !method.equals("lz5")) {
            return 0;
        }
        int ring = lzs ? 2048 : 4096;
        int lead = lzs ? 17 : 18;
        BitReader in = new BitReader(packed);
        int mask = 0x80;
        int flags = 0;
        int count = 0;
        long at = 0;
        while (at < size && !in.exhausted()) {
            int position;
            int length;
            if (lzs) {
                if (in.bits(1) == 1) {
                    in.bits(8);
                    at++;
                    continue;
                }
                position = in.bits(11);
                length = in.bits(4) + 2;
            } else {
                mask = ((mask << 1) | (mask >>> 7)) & 0xFF;
                if (mask == 0x01) {
                    flags = in.bits(8);
                }
                int low = in.bits(8);
                if ((flags & mask) != 0) {
                    at++;
                    continue;
                }
                int high = in.bits(8);
                position = ((high & 0xF0) << 4) | low;
                length = (high & 0x0F) + 3;
            }
            if (((at - position - lead) & (ring - 1)) == 0) {
                count++;
            }
            at += length;
        }
        return count;
    }

    static final class BitReader {
        private final byte[] data;
        private long bit;

        BitReader(byte[] data) {
            this.data = data;
        }

        boolean exhausted() {
            return bit >= 8L * data.length;
        }

        int bits(int n) {
            int value = 0;
            for (int i = 0; i < n; i++, bit++) {
                int b = bit < 8L * data.length ? (data[(int) (bit >>> 3)] >>> (7 - (int) (bit & 7))) & 1 : 0;
                value = (value << 1) | b;
            }
            return value;
        }
    }

    // The damage tests need a victim that comes out whole when nothing is
    // spoilt, for every method: text whose LArc encodings have no match at
    // the ring's edge. The first seed that gives one is taken.
    static byte[] larcSafeText(int size) throws IOException {
        for (int seed = 16; seed < 10000; seed++) {
            byte[] candidate = text(new Random(seed), size);
            if (ringEdgeMatches("lzs", compress("lzs", candidate), size) == 0
                && ringEdgeMatches("lz5", compress("lz5", candidate), size) == 0) {
                return candidate;
            }
        }
        throw new IOException("no text without ring-edge matches");
    }

    // The LHA CRC-16 (reflected polynomial 0xA001, start 0): the encoder
    // takes the value from its caller when the data comes precompressed.
    static int crc16(byte[] data) {
        int crc = 0;
        for (byte b : data) {
            crc ^= b & 0xFF;
            for (int k = 0; k < 8; k++) {
                crc = (crc & 1) != 0 ? (crc >>> 1) ^ 0xA001 : crc >>> 1;
            }
        }
        return crc;
    }

    // ---- inputs ----

    static final String[] WORDS = {
        "the", "archive", "member", "header", "window", "offset", "length", "decoder",
        "table", "code", "bit", "of", "and", "to", "a", "in", "stream", "block", "match",
        "literal", "position", "extract", "directory", "file", "name", "time", "attribute",
        "level", "method", "packed", "original", "size", "checksum", "buffer", "output",
        "input", "progress", "cancel", "setup", "target", "drive", "sector", "cluster",
        "Huffman", "adaptive", "static", "frequency", "tree", "node", "leaf", "symbol",
    };

    static byte[] text(Random r, int size) {
        StringBuilder sb = new StringBuilder(size + 100);
        int column = 0;
        while (sb.length() < size) {
            String w = WORDS[r.nextInt(WORDS.length)];
            if (r.nextInt(12) == 0) {
                w = Integer.toString(r.nextInt(100000));
            }
            if (column > 0 && column + w.length() > 72) {
                sb.append(r.nextInt(6) == 0 ? ".\r\n\r\n" : "\r\n");
                column = 0;
            } else if (column > 0) {
                sb.append(' ');
                column++;
            }
            sb.append(w);
            column += w.length();
        }
        return Arrays.copyOf(sb.toString().getBytes(StandardCharsets.ISO_8859_1), size);
    }

    // Short words over a 256-letter alphabet: matches everywhere, at every
    // distance, with all byte values among the literals.
    static byte[] wordSoup(Random r, int size) {
        byte[][] words = new byte[300][];
        for (int i = 0; i < words.length; i++) {
            words[i] = new byte[2 + r.nextInt(9)];
            r.nextBytes(words[i]);
        }
        byte[] out = new byte[size];
        int at = 0;
        while (at < size) {
            byte[] w = words[r.nextInt(r.nextBoolean() ? 20 : words.length)];
            int n = Math.min(w.length, size - at);
            System.arraycopy(w, 0, out, at, n);
            at += n;
        }
        return out;
    }

    // Matches that overlap their own source (distance below length): byte
    // runs longer than any window and than one output block, and short
    // periods repeated many times.
    static byte[] runs(Random r) {
        ByteArrayOutputStream out = new ByteArrayOutputStream();
        fill(out, 'A', 5000);
        fill(out, 0, 70000);
        for (int period = 2; period <= 9; period++) {
            byte[] unit = new byte[period];
            r.nextBytes(unit);
            for (int k = 0; k < 3000; k++) {
                out.write(unit, 0, unit.length);
            }
        }
        for (int k = 0; k < 2000; k++) {
            fill(out, r.nextInt(256), 1 + r.nextInt(r.nextInt(8) == 0 ? 400 : 12));
        }
        fill(out, 0xFF, 65537);
        return out.toByteArray();
    }

    static void fill(ByteArrayOutputStream out, int value, int count) {
        for (int i = 0; i < count; i++) {
            out.write(value);
        }
    }

    static byte[] randomBytes(Random r, int size) {
        byte[] out = new byte[size];
        r.nextBytes(out);
        return out;
    }

    // Stretches of different character, so that the adaptive coder rebuilds
    // its tree many times and the static coders start many blocks with
    // different statistics.
    static byte[] mixed(Random r, int size) {
        ByteArrayOutputStream out = new ByteArrayOutputStream(size + 70000);
        while (out.size() < size) {
            int n = 1000 + r.nextInt(60000);
            switch (r.nextInt(6)) {
                case 0:
                case 1:
                    out.write(text(r, n), 0, n);
                    break;
                case 2:
                    out.write(wordSoup(r, n), 0, n);
                    break;
                case 3: {
                    // little-endian integer tables, as in executables and data files
                    int v = r.nextInt();
                    int step = r.nextInt(64);
                    for (int i = 0; i + 4 <= n; i += 4) {
                        out.write(v);
                        out.write(v >>> 8);
                        out.write(v >>> 16);
                        out.write(v >>> 24);
                        v += step;
                    }
                    break;
                }
                case 4:
                    n /= 8;
                    out.write(randomBytes(r, n), 0, n);
                    break;
                default:
                    fill(out, r.nextInt(4) == 0 ? 0 : r.nextInt(256), n / 4);
                    break;
            }
        }
        return Arrays.copyOf(out.toByteArray(), size);
    }
}

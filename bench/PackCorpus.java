// Packs the files named in a list into one LHA archive with the jlha
// library, every member in the one method asked for (stored members too, so
// that each archive measures its method alone).
//
//   java -cp jlha.jar:classes PackCorpus LIST METHOD OUT.lzh
//
// LIST holds one absolute path per line; a member is named by its path
// without the leading slash. Level 1 headers: a level 2 header whose length
// is a multiple of 256 starts with a zero byte and reads as the archive's
// end, which thousands of arbitrary names would hit sooner or later.

import jp.gr.java_conf.dangan.util.lha.CompressMethod;
import jp.gr.java_conf.dangan.util.lha.LhaHeader;
import jp.gr.java_conf.dangan.util.lha.LhaOutputStream;
import jp.gr.java_conf.dangan.util.lha.LhaProperty;

import java.io.BufferedOutputStream;
import java.io.ByteArrayOutputStream;
import java.io.File;
import java.io.FileOutputStream;
import java.io.IOException;
import java.io.OutputStream;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.util.Date;
import java.util.List;

public final class PackCorpus {
    public static void main(String[] args) throws IOException {
        if (args.length != 3) {
            System.err.println("usage: PackCorpus LIST METHOD OUT.lzh");
            System.exit(2);
        }
        List<String> paths = Files.readAllLines(new File(args[0]).toPath(), StandardCharsets.UTF_8);
        String method = "-" + args[1] + "-";
        File out = new File(args[2]);
        File partial = new File(args[2] + ".part");
        try (OutputStream file = new BufferedOutputStream(new FileOutputStream(partial), 1 << 16)) {
            LhaOutputStream archive = new LhaOutputStream(file);
            for (String path : paths) {
                if (path.isEmpty()) {
                    continue;
                }
                byte[] data = Files.readAllBytes(new File(path).toPath());
                byte[] packed = compress(method, data);
                LhaHeader h = new LhaHeader(path.substring(1), new Date(new File(path).lastModified()));
                h.setHeaderLevel(1);
                h.setOSID((byte) 'M');
                h.setCompressMethod(method);
                h.setOriginalSize(data.length);
                h.setCompressedSize(packed.length);
                h.setCRC(crc16(data));
                archive.putNextEntryAlreadyCompressed(h);
                archive.write(packed);
                archive.closeEntry();
            }
            archive.close();
        }
        // Renamed only when complete, so that an interrupted run is not
        // taken for a cached archive next time.
        if (!partial.renameTo(out)) {
            throw new IOException("cannot rename " + partial + " to " + out);
        }
    }

    // Left to itself the archive writer stores whatever does not shrink.
    static byte[] compress(String method, byte[] data) throws IOException {
        ByteArrayOutputStream sink = new ByteArrayOutputStream(data.length / 2 + 64);
        OutputStream encoder = CompressMethod.connectEncoder(sink, method, LhaProperty.getProperties());
        encoder.write(data);
        encoder.close();
        return sink.toByteArray();
    }

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
}

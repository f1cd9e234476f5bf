// Signs a file's SHA-256 and SHA-1 digests with NONEwithRSA through the token:
// Java builds each DigestInfo with its own DER encoder, the way document
// signers that hash for themselves do, and the token signs it as given.
// Arguments: provider configuration, key alias, input file, output prefix.

import java.nio.file.Files;
import java.nio.file.Path;
import java.security.KeyStore;
import java.security.MessageDigest;
import java.security.PrivateKey;
import java.security.Provider;
import java.security.Security;
import java.security.Signature;

import sun.security.util.DerOutputStream;
import sun.security.util.DerValue;
import sun.security.x509.AlgorithmId;

public class RawRsaSign {
    public static void main(String[] args) throws Exception {
        Provider provider = Security.getProvider("SunPKCS11").configure(args[0]);
        KeyStore store = KeyStore.getInstance("PKCS11", provider);
        store.load(null, null);
        PrivateKey key = (PrivateKey) store.getKey(args[1], null);
        byte[] data = Files.readAllBytes(Path.of(args[2]));
        for (String hash : new String[] {"SHA-256", "SHA-1"}) {
            DerOutputStream algorithmAndDigest = new DerOutputStream();
            AlgorithmId.get(hash).encode(algorithmAndDigest);
            algorithmAndDigest.putOctetString(MessageDigest.getInstance(hash).digest(data));
            byte[] digestInfo =
                new DerValue(DerValue.tag_Sequence, algorithmAndDigest.toByteArray()).toByteArray();

            Signature signature = Signature.getInstance("NONEwithRSA", provider);
            signature.initSign(key);
            signature.update(digestInfo);
            Files.write(Path.of(args[3] + hash), signature.sign());
            // The signature sits on the provider's RSA cipher, so it names no provider of its own.
            System.out.println(hash + " DigestInfo signed");
        }
    }
}

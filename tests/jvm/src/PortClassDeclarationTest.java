import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;

import com.keldo.jpos.JNativePort.JNativeCommonPort4LinuxEthernet;
import com.keldo.jpos.JNativePort.JNativeCommonPort4LinuxParallel;
import com.keldo.jpos.JNativePort.JNativeCommonPort4LinuxSerial;
import com.keldo.jpos.JNativePort.JNativeCommonPort4LinuxUSB;
import java.lang.reflect.Method;
import java.lang.reflect.Modifier;
import java.util.Arrays;
import java.util.Map;
import java.util.TreeMap;
import java.util.stream.Collectors;
import org.junit.jupiter.params.ParameterizedTest;
import org.junit.jupiter.params.provider.ValueSource;

/**
 * The Java half of the JNI contract: the libraries export one symbol per native, named from the
 * class and method and typed by the signature, so every class must declare exactly these.
 * Needs no library: a wrong declaration shows here even for a library not built yet.
 */
class PortClassDeclarationTest {
    private static final Map<String, String> NATIVES = new TreeMap<>(Map.ofEntries(
        Map.entry("_openPort", "(Ljava/lang/String;Ljava/lang/String;)J"),
        Map.entry("_claim", "(JZ)J"),
        Map.entry("_release", "()V"),
        Map.entry("_closePort", "()V"),
        Map.entry("_readData", "([BIJ)I"),
        Map.entry("_writeData", "([BIJ)I"),
        Map.entry("_getPrinterStatus", "(J)I"),
        Map.entry("_getCashDrawerStatus", "(J)I"),
        Map.entry("_OpenDrawer", "(JJJ)I"),
        Map.entry("_WaitForUntilDrawerClose", "(Z)I"),
        Map.entry("_WaitForCompletePrinting", "(J)Z")));

    @ParameterizedTest
    @ValueSource(classes = {
        JNativeCommonPort4LinuxSerial.class, JNativeCommonPort4LinuxEthernet.class,
        JNativeCommonPort4LinuxUSB.class, JNativeCommonPort4LinuxParallel.class,
    })
    void declaresExactlyTheElevenPublicInstanceNatives(Class<?> portClass) {
        assertEquals("com.keldo.jpos.JNativePort", portClass.getPackageName());
        Map<String, String> declared = new TreeMap<>();
        for (Method m : portClass.getDeclaredMethods()) {
            if (Modifier.isNative(m.getModifiers())) {
                int mods = m.getModifiers();
                assertTrue(Modifier.isPublic(mods) && !Modifier.isStatic(mods),
                        m + " must be a public instance method");
                declared.put(m.getName(), descriptor(m));
            }
        }
        assertEquals(NATIVES, declared, portClass.getSimpleName()
                + " natives (name -> JNI signature)");
    }

    private static String descriptor(Method m) {
        return Arrays.stream(m.getParameterTypes()).map(PortClassDeclarationTest::typeCode)
                   .collect(Collectors.joining("", "(", ")")) + typeCode(m.getReturnType());
    }

    private static String typeCode(Class<?> type) {
        if (type.isArray()) {
            return "[" + typeCode(type.getComponentType());
        }
        if (type.isPrimitive()) {
            return switch (type.getName()) {
                case "long" -> "J";
                case "int" -> "I";
                case "boolean" -> "Z";
                case "byte" -> "B";
                case "void" -> "V";
                default -> throw new AssertionError("unexpected type " + type);
            };
        }
        return "L" + type.getName().replace('.', '/') + ";";
    }
}

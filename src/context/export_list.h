/*
 * The library's exported functions: ordinal, name, and the shape of the arguments. This is the
 * one list of them. The build writes the Windows module definition files and the Linux version
 * scripts from it (cmake/Exports.cmake), and the checks of the built libraries and of the public
 * header read it; a function added or renamed here changes every artifact and every check.
 *
 * Shapes: Window (HWND), None, Int, IntInt, BufferIntIntInt (int*, int, int, int) and
 * BufferIntIntIntIntInt (int*, int, int, int, int, int). Every argument is one 32-bit word on
 * 32-bit x86, the count of them the last column.
 *
 * Include it with MV620_EXPORT(ordinal, name, shape, arguments) defined.
 */
MV620_EXPORT(1, Start_Acquisition, Window, 1)
MV620_EXPORT(2, Stop_Acquisition, None, 0)
MV620_EXPORT(3, Get_Blocks_Transferred, None, 0)
MV620_EXPORT(4, Get_DataPoint, IntInt, 2)
MV620_EXPORT(5, Set_Sample_Rate, IntInt, 2)
MV620_EXPORT(6, Get_Sample_Rate, Int, 1)
MV620_EXPORT(7, Do_Download, Window, 1)
MV620_EXPORT(8, Do_Autozero, None, 0)
MV620_EXPORT(9, Do_Even_Cal_On, None, 0)
MV620_EXPORT(10, Do_Even_Cal_Off, None, 0)
MV620_EXPORT(11, Do_Odd_Cal_On, None, 0)
MV620_EXPORT(12, Do_Odd_Cal_Off, None, 0)
MV620_EXPORT(13, Do_Output_On, Int, 1)
MV620_EXPORT(14, Do_Output_Off, Int, 1)
MV620_EXPORT(15, Get_Digital_Input, Int, 1)
MV620_EXPORT(16, Do_AZ_On, None, 0)
MV620_EXPORT(17, Do_AZ_Off, None, 0)
MV620_EXPORT(18, LV_Start_Acquisition, None, 0)
MV620_EXPORT(19, LV_Download, None, 0)
MV620_EXPORT(20, Get_Data_Samples, BufferIntIntInt, 4)
MV620_EXPORT(21, Get_Trigger, BufferIntIntIntIntInt, 6)
MV620_EXPORT(22, Get_Current_DataPoint, Int, 1)
MV620_EXPORT(23, Get_MV620ACQ_Status, None, 0)
MV620_EXPORT(24, Get_Sample_Modulus, Int, 1)
MV620_EXPORT(25, Set_Sample_Boundary, Int, 1)

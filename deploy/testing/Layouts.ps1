# Folders and access entries as the scripts' Windows readers hand them over,
# with the stock lists as Microsoft ships them (icacls shows the same).
# Flags as numbers: inheritance ObjectInherit 1, ContainerInherit 2;
# propagation InheritOnly 2.
function New-Entry([string]$Sid, [int]$Rights, [bool]$Inherited = $false, [int]$Inheritance = 3, [int]$Propagation = 0, [string]$Type = 'Allow') {
    [pscustomobject]@{ Sid = $Sid; Type = $Type; Rights = $Rights; Inherited = $Inherited; Inheritance = $Inheritance; Propagation = $Propagation }
}

function New-Folder([string]$Path, [string]$Owner = 'S-1-5-18', $Entries = @(), [bool]$IsFolder = $true, [bool]$IsReparsePoint = $false,
    [bool]$IsHardLinked = $false, [string]$ErrorText = $null, [switch]$IsFile, [int]$Unusual = 0, [switch]$Protected) {
    [pscustomobject]@{ Path = $Path; Exists = $IsFolder -or $IsHardLinked -or $IsFile; IsFolder = $IsFolder; IsReparsePoint = $IsReparsePoint; Unusual = $Unusual
        IsHardLinked = $IsHardLinked; Owner = $Owner; Protected = [bool]$Protected; Entries = @($Entries); Error = $ErrorText }
}

$Sids = @{
    System = 'S-1-5-18'; Administrators = 'S-1-5-32-544'; Users = 'S-1-5-32-545'; CreatorOwner = 'S-1-3-0'; CreatorGroup = 'S-1-3-1'; NetworkService = 'S-1-5-20'
    TrustedInstaller = 'S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464'
    AllPackages = 'S-1-15-2-1'; RestrictedPackages = 'S-1-15-2-2'; User = 'S-1-5-21-1-2-3-1001'
    Everyone = 'S-1-1-0'; OwnerRights = 'S-1-3-4'
}
$Modify = 0x1301BF; $ReadExecute = 0x1200A9; $FullControl = 0x1F01FF
$GenericAll = 0x10000000; $GenericRead = 0x80000000; $GenericExecute = 0x20000000

# C:\Program Files (x86): explicit entries only, as earlier Windows 10 builds
# ship it.
$ProgramFilesListEarly = @(
    (New-Entry $Sids.TrustedInstaller $FullControl -Inheritance 0)
    (New-Entry $Sids.TrustedInstaller 0x10000000 -Inheritance 2 -Propagation 2)
    (New-Entry $Sids.System $Modify -Inheritance 0)
    (New-Entry $Sids.System $GenericAll -Propagation 2)
    (New-Entry $Sids.Administrators $Modify -Inheritance 0)
    (New-Entry $Sids.Administrators $GenericAll -Propagation 2)
    (New-Entry $Sids.Users $ReadExecute -Inheritance 0)
    (New-Entry $Sids.Users ($GenericRead -bor $GenericExecute) -Propagation 2)
    (New-Entry $Sids.CreatorOwner $GenericAll -Propagation 2)
    (New-Entry $Sids.AllPackages $ReadExecute -Inheritance 0)
    (New-Entry $Sids.AllPackages ($GenericRead -bor $GenericExecute) -Propagation 2))
# As current Windows 10 and Windows 11 ship it: restricted application
# packages may read and execute too.
$ProgramFilesList = $ProgramFilesListEarly + @(
    (New-Entry $Sids.RestrictedPackages $ReadExecute -Inheritance 0)
    (New-Entry $Sids.RestrictedPackages ($GenericRead -bor $GenericExecute) -Propagation 2))

# C:\ProgramData itself: explicit entries only.
$ProgramDataList = @(
    (New-Entry $Sids.System $FullControl)
    (New-Entry $Sids.Administrators $FullControl)
    (New-Entry $Sids.CreatorOwner $GenericAll -Propagation 2)
    (New-Entry $Sids.Users $ReadExecute)
    (New-Entry $Sids.Users (0x2 -bor 0x4 -bor 0x10 -bor 0x100) -Inheritance 2))

# What a folder below a stock C:\ProgramData inherits from it: SYSTEM and
# Administrators full control, CREATOR OWNER full control of what is created,
# Users read and execute, and Users create files and folders (with write
# attributes and extended attributes) on every folder below.
$ProgramDataInherited = @(
    (New-Entry $Sids.System $FullControl $true)
    (New-Entry $Sids.Administrators $FullControl $true)
    (New-Entry $Sids.CreatorOwner $GenericAll $true -Propagation 2)
    (New-Entry $Sids.Users $ReadExecute $true)
    (New-Entry $Sids.Users (0x2 -bor 0x4 -bor 0x10 -bor 0x100) $true -Inheritance 2))
